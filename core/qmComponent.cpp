#include "core/qmComponent.h"

#include <algorithm>
#include <typeinfo>

#include "core/qmException.h"

namespace qm {

void TPersistent::Assign(const TPersistent& ASource) {
  throw EConvertError(std::string("Cannot assign a ") + typeid(ASource).name() + " to a " +
                      typeid(*this).name());
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  FDestroying = true;
  // Tell everyone who links to this component, then forget them. A notified
  // component may remove itself from the list while being told.
  while (!FFreeNotifies.empty()) {
    TComponent* Other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    Other->RemoveFreeNotifier(this);
    Other->Notification(this, TOperation::opRemove);
  }
  // Destroy owned components, last created first.
  while (!FComponents.empty()) {
    TComponent* Child = FComponents.back();
    delete Child;  // its destructor removes it from FComponents
  }
  if (FOwner) FOwner->RemoveComponent(this);
}

TComponent* TComponent::Components(int AIndex) const {
  if (AIndex < 0 || AIndex >= ComponentCount())
    throw EListError("List index out of bounds (" + std::to_string(AIndex) + ")");
  return FComponents[static_cast<size_t>(AIndex)];
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  for (TComponent* C : FComponents)
    if (C->FName == AName) return C;
  return nullptr;
}

void TComponent::EndLoading() {
  if (FLoading > 0 && --FLoading == 0) Loaded();
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  AComponent->AddFreeNotifier(this);
  AddFreeNotifier(AComponent);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  AComponent->RemoveFreeNotifier(this);
  RemoveFreeNotifier(AComponent);
}

void TComponent::AddFreeNotifier(TComponent* AComponent) {
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
}

void TComponent::RemoveFreeNotifier(TComponent* AComponent) {
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                      FFreeNotifies.end());
}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->FOwner == this) return;
  if (AComponent->FOwner) AComponent->FOwner->RemoveComponent(AComponent);
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
  Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->FOwner != this) return;
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent),
                    FComponents.end());
  AComponent->FOwner = nullptr;
  Notification(AComponent, TOperation::opRemove);
}

void TComponent::Notification(TComponent*, TOperation) {}

}  // namespace qm
