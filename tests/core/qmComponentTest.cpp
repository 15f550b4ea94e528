#include "core/qmComponent.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/qmException.h"

using namespace qm;

namespace {

// Records destruction order and the notifications it receives.
class TRecorder : public TComponent {
 public:
  TRecorder(TComponent* AOwner, std::string ATag, std::vector<std::string>* ALog)
      : TComponent(AOwner), Tag(std::move(ATag)), Log(ALog) {}
  ~TRecorder() override { Log->push_back("destroy " + Tag); }

  std::string Tag;
  std::vector<std::string>* Log;
  TComponent* Link = nullptr;
  int LoadedCalls = 0;

  void SetLink(TComponent* AComponent) {
    if (Link) RemoveFreeNotification(Link);
    Link = AComponent;
    if (Link) FreeNotification(Link);
  }

 protected:
  void Loaded() override { ++LoadedCalls; }
  void Notification(TComponent* AComponent, TOperation AOperation) override {
    TComponent::Notification(AComponent, AOperation);
    if (AOperation == TOperation::opRemove && AComponent == Link) {
      Log->push_back(Tag + " lost link");
      Link = nullptr;
    }
  }
};

}  // namespace

TEST(ComponentTest, OwnerDestroysOwnedComponentsLastFirst) {
  std::vector<std::string> Log;
  {
    TRecorder Owner(nullptr, "owner", &Log);
    new TRecorder(&Owner, "a", &Log);
    auto* B = new TRecorder(&Owner, "b", &Log);
    B->SetName("b");
    EXPECT_EQ(Owner.ComponentCount(), 2);
    EXPECT_EQ(Owner.FindComponent("b"), B);
    EXPECT_EQ(Owner.FindComponent("zz"), nullptr);
    EXPECT_THROW(Owner.Components(2), EListError);
  }
  EXPECT_EQ(Log, (std::vector<std::string>{"destroy owner", "destroy b", "destroy a"}));
}

TEST(ComponentTest, DeletingAnOwnedComponentDetachesIt) {
  std::vector<std::string> Log;
  TRecorder Owner(nullptr, "owner", &Log);
  auto* A = new TRecorder(&Owner, "a", &Log);
  delete A;
  EXPECT_EQ(Owner.ComponentCount(), 0);
  // A second owner takes a component over from the first.
  TRecorder Other(nullptr, "other", &Log);
  auto* C = new TRecorder(&Owner, "c", &Log);
  Other.InsertComponent(C);
  EXPECT_EQ(Owner.ComponentCount(), 0);
  EXPECT_EQ(C->Owner(), &Other);
}

TEST(ComponentTest, FreeNotificationClearsLinksEitherWayRound) {
  std::vector<std::string> Log;
  auto Message = std::make_unique<TRecorder>(nullptr, "message", &Log);
  auto Signer = std::make_unique<TRecorder>(nullptr, "signer", &Log);
  Message->SetLink(Signer.get());
  Signer.reset();
  EXPECT_EQ(Message->Link, nullptr);
  EXPECT_EQ(Log.front(), "destroy signer");
  EXPECT_EQ(Log.back(), "message lost link");

  // The linking side going first must not leave a dangling registration.
  auto Target = std::make_unique<TRecorder>(nullptr, "target", &Log);
  Message->SetLink(Target.get());
  Message.reset();
  Log.clear();
  Target.reset();
  EXPECT_EQ(Log, (std::vector<std::string>{"destroy target"}));
}

TEST(ComponentTest, LoadingStateEndsWithOneLoadedCall) {
  std::vector<std::string> Log;
  TRecorder C(nullptr, "c", &Log);
  C.BeginLoading();
  C.BeginLoading();
  EXPECT_TRUE(C.IsLoading());
  C.EndLoading();
  EXPECT_EQ(C.LoadedCalls, 0);
  C.EndLoading();
  EXPECT_FALSE(C.IsLoading());
  EXPECT_EQ(C.LoadedCalls, 1);
  C.EndLoading();  // unbalanced end is ignored
  EXPECT_EQ(C.LoadedCalls, 1);
}

TEST(ComponentTest, AssignOfUnrelatedClassRaises) {
  std::vector<std::string> Log;
  TRecorder A(nullptr, "a", &Log), B(nullptr, "b", &Log);
  EXPECT_THROW(A.Assign(B), EConvertError);
}
