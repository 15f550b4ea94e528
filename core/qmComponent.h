// The component model: TObject, TPersistent and TComponent (owner, name,
// loading state, free notification).
#pragma once

#include <string>
#include <vector>

#include "core/qmTypes.h"

namespace qm {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// An object whose values can be copied from another of its class.
class TPersistent : public TObject {
 public:
  // Copies every value of ASource; raises EConvertError when the classes do
  // not match. Subclasses override and call the base for unknown sources.
  virtual void Assign(const TPersistent& ASource);
};

enum class TOperation { opInsert, opRemove };

class TComponent : public TPersistent {
 public:
  // A component with an owner is destroyed by it; one without is owned by
  // whoever created it (usually a std::unique_ptr).
  explicit TComponent(TComponent* AOwner = nullptr);
  ~TComponent() override;

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& AName) { FName = AName; }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int AIndex) const;
  TComponent* FindComponent(const std::string& AName) const;

  // Loading state: while a stored form is read, setters skip side effects.
  bool IsLoading() const { return FLoading > 0; }
  bool IsDestroying() const { return FDestroying; }
  void BeginLoading() { ++FLoading; }
  void EndLoading();

  // Ask to be told (through Notification with opRemove) when AComponent is
  // destroyed. The link is mutual, so either side may go first.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  // Hands an owned component to this one (or detaches it when AComponent's
  // owner is not this).
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);

 protected:
  // Called once loading ends, to apply what the setters skipped.
  virtual void Loaded() {}
  // Called when a linked or owned component is inserted or destroyed.
  virtual void Notification(TComponent* AComponent, TOperation AOperation);

 private:
  void AddFreeNotifier(TComponent* AComponent);
  void RemoveFreeNotifier(TComponent* AComponent);

  TComponent* FOwner = nullptr;
  std::string FName;
  std::vector<TComponent*> FComponents;     // owned, destroyed with this one
  std::vector<TComponent*> FFreeNotifies;   // told when this one goes away
  int FLoading = 0;
  bool FDestroying = false;
};

}  // namespace qm
