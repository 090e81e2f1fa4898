#include "platform/below/pool.h"

#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tests/unit/fixture.h"

using namespace fixture;

// Every item with its depth, as walks on `workers` threads give them.
static std::map<std::string, unsigned> walkWith(const std::string& root, unsigned workers, int* peakFds,
                                                bool stopAtFirstFolder = false, size_t* threadsSeen = nullptr) {
  std::map<std::string, unsigned> seen;
  std::set<std::thread::id> threads;
  std::mutex lock;
  UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  WalkVisitor visitor;
  visitor.enter = [&](const WalkItem& item) {
    // A folder takes a while, so that the other workers are waiting for one.
    if (item.fd >= 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
    const std::lock_guard<std::mutex> held(lock);
    threads.insert(std::this_thread::get_id());
    EXPECT_TRUE(seen.emplace(item.path->substr(item.rootLength + 1), item.depth).second) << *item.path;
    *peakFds = std::max(*peakFds, openDescriptors());
    return stopAtFirstFolder && item.fd >= 0 ? WalkStep::Stop : WalkStep::Descend;
  };
  const WalkError error = walkTreeShared(fd.get(), root, visitor, workers, 4);
  EXPECT_EQ(error.error, 0) << error.path;
  if (threadsSeen) *threadsSeen = threads.size();
  return seen;
}

// Handed-over folders keep the whole walk's depths and relative paths, every
// item comes once, no link is followed, and the descriptors stay bounded per
// worker; a stop ends every worker.
TEST(WalkTreeShared, SameItemsAsOneWalkerWithBoundedDescriptors) {
  TempDir home, outside;
  writeText(outside.at("secret"), "x");
  for (int top = 0; top < 8; ++top) {
    std::string level = home.at("t" + std::to_string(top));
    fs::create_directory(level);
    for (int depth = 0; depth < 6; ++depth) {
      for (int i = 0; i < 4; ++i) writeText(level + "/f" + std::to_string(i), "x");
      fs::create_directory(level += "/sub");
    }
  }
  fs::create_directory_symlink(outside.path, home.at("t0/out"));
  const int before = openDescriptors();
  int onePeak = 0, manyPeak = 0;
  const std::map<std::string, unsigned> one = walkWith(home.path, 1, &onePeak);
  EXPECT_EQ(one.size(), 8u * (1 + 6 * 5) + 1);  // the link counts, not what it leads to
  EXPECT_EQ(one.at("t3/sub/sub/f2"), 4u);
  EXPECT_FALSE(one.contains("t0/out/secret"));
  size_t threads = 0;
  const std::map<std::string, unsigned> many = walkWith(home.path, 4, &manyPeak, false, &threads);
  EXPECT_EQ(many, one);
  EXPECT_GT(threads, 1u);
  EXPECT_LE(manyPeak - before, 4 * (4 + 3));
  EXPECT_EQ(openDescriptors(), before);
  int stoppedPeak = 0;
  EXPECT_LT(walkWith(home.path, 4, &stoppedPeak, true).size(), 8u);
  EXPECT_EQ(openDescriptors(), before);
}
