// The component model: TObject, TPersistent and TComponent (owner, name,
// loading state, free notification).
#pragma once

#include <string>
#include <vector>

#include "core/qmTypes.h"

namespace qm {

/// The root of the class tree: not copyable, destroyed through the base.
class TObject {
 public:
  /// Nothing to set up.
  TObject() = default;
  /// Objects are not copied (TPersistent::Assign copies values).
  TObject(const TObject&) = delete;
  /// Objects are not copied (TPersistent::Assign copies values).
  TObject& operator=(const TObject&) = delete;
  /// Virtual: objects are owned and freed through base pointers.
  virtual ~TObject() = default;
};

/// An object whose values can be copied from another of its class.
class TPersistent : public TObject {
 public:
  /// Copies every value of ASource; raises EConvertError when the classes do
  /// not match. Subclasses override and call the base for unknown sources.
  virtual void Assign(const TPersistent& ASource);
};

/// What Notification reports: a component inserted or going away.
enum class TOperation { opInsert, opRemove };

/// A component: owned by another (which destroys it) or by its creator,
/// with a name, a loading state and links that tell it when another
/// component is destroyed.
class TComponent : public TPersistent {
 public:
  /// A component with an owner is destroyed by it; one without is owned by
  /// whoever created it (usually a std::unique_ptr).
  explicit TComponent(TComponent* AOwner = nullptr);
  /// Tells the linked components, destroys the owned ones, leaves the owner.
  ~TComponent() override;

  /// The owner, or nullptr.
  TComponent* Owner() const { return FOwner; }
  /// The name (empty by default), for FindComponent.
  const std::string& Name() const { return FName; }
  /// Sets Name.
  void SetName(const std::string& AName) { FName = AName; }

  /// The number of owned components.
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  /// The owned component at AIndex (from 0); EListError outside the list.
  TComponent* Components(int AIndex) const;
  /// The owned component named AName, or nullptr (also for an empty name).
  TComponent* FindComponent(const std::string& AName) const;

  /// Loading state: while a stored form is read, setters skip side effects.
  bool IsLoading() const { return FLoading > 0; }
  /// True while the destructor runs.
  bool IsDestroying() const { return FDestroying; }
  /// Enters the loading state (calls nest).
  void BeginLoading() { ++FLoading; }
  /// Leaves it; the last call calls Loaded().
  void EndLoading();

  /// Ask to be told (through Notification with opRemove) when AComponent is
  /// destroyed. The link is mutual, so either side may go first.
  void FreeNotification(TComponent* AComponent);
  /// Undoes FreeNotification.
  void RemoveFreeNotification(TComponent* AComponent);

  /// Hands an owned component to this one (or detaches it when AComponent's
  /// owner is not this).
  void InsertComponent(TComponent* AComponent);
  /// Detaches an owned component (which its creator must then free).
  void RemoveComponent(TComponent* AComponent);

 protected:
  /// Called once loading ends, to apply what the setters skipped.
  virtual void Loaded() {}
  /// Called when a linked or owned component is inserted or destroyed.
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
