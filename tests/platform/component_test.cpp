#include "platform/component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kvr {
namespace {

class Recorder : public TComponent {
 public:
  Recorder(TComponent* owner, std::string name, std::vector<std::string>& log)
      : TComponent(owner), log_(log) {
    Name = std::move(name);
  }
  ~Recorder() override { log_.push_back(Name); }

 private:
  std::vector<std::string>& log_;
};

TEST(ComponentOwnership, OwnerDestroysItsComponentsLastRegisteredFirst) {
  std::vector<std::string> log;
  {
    Recorder root(nullptr, "root", log);
    new Recorder(&root, "a", log);
    auto* b = new Recorder(&root, "b", log);
    new Recorder(b, "b1", log);
    EXPECT_EQ(root.ComponentCount(), 2);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"root", "b", "b1", "a"}));
}

TEST(ComponentOwnership, DeletedComponentLeavesItsOwner) {
  std::vector<std::string> log;
  Recorder root(nullptr, "root", log);
  auto* a = new Recorder(&root, "a", log);
  new Recorder(&root, "b", log);
  delete a;
  ASSERT_EQ(root.ComponentCount(), 1);
  EXPECT_EQ(root.Components(0)->Name, "b");
}

}  // namespace
}  // namespace kvr
