#include "platform/below/pool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/fd.h"

namespace {

// A folder pinned and reported by one worker, to be walked by another.
struct Handed {
  UniqueFd folder;
  std::string path;
  unsigned depth = 0;  // the folder's own depth below the root
};

struct Pool {
  const WalkVisitor& visitor;
  size_t rootLength = 0;
  dev_t rootDevice = 0;
  unsigned maxOpenFolders = 0;
  std::mutex lock;
  std::condition_variable wake;
  std::deque<Handed> queue;
  unsigned busy = 0;
  std::atomic<unsigned> waiting{0};
  std::atomic<bool> stopped{false};
  WalkError first;
};

// Hands the folder over when a worker waits for work and none is queued for
// it: a descriptor of its own, so the walk that found it may move on.
bool handOver(Pool& pool, const WalkItem& item, unsigned depth) {
  if (pool.waiting.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard<std::mutex> held(pool.lock);
  if (pool.queue.size() >= pool.waiting.load()) return false;
  UniqueFd copy(fcntl(item.fd, F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) return false;
  pool.queue.push_back({std::move(copy), *item.path, depth});
  pool.wake.notify_one();
  return true;
}

void walkHanded(Pool& pool, const Handed& work) {
  WalkVisitor mine = pool.visitor;
  mine.enter = [&pool, &work](const WalkItem& item) {
    if (pool.stopped.load(std::memory_order_relaxed)) return WalkStep::Stop;
    // Depth and relative path as the whole walk would give them.
    WalkItem seen = item;
    seen.depth += work.depth;
    seen.rootLength = pool.rootLength;
    const WalkStep step = pool.visitor.enter(seen);
    if (step == WalkStep::Stop) pool.stopped = true;
    // A folder on another device is not entered unless the visitor crosses
    // devices, and then not handed over either.
    const bool enterable = pool.visitor.crossDevices || item.status.st_dev == pool.rootDevice;
    if (step == WalkStep::Descend && item.fd >= 0 && S_ISDIR(item.status.st_mode) && enterable &&
        handOver(pool, item, seen.depth)) {
      return WalkStep::Skip;
    }
    return step;
  };
  const WalkError error = walkTree(work.folder.get(), work.path, mine, pool.maxOpenFolders);
  if (error.error != 0) {
    std::lock_guard<std::mutex> held(pool.lock);
    if (pool.first.error == 0) pool.first = error;
  }
}

// Takes work until none is queued and no worker could hand over more.
void work(Pool& pool) {
  std::unique_lock<std::mutex> held(pool.lock);
  for (;;) {
    if (!pool.queue.empty()) {
      Handed next = std::move(pool.queue.front());
      pool.queue.pop_front();
      ++pool.busy;
      held.unlock();
      if (!pool.stopped) walkHanded(pool, next);
      next.folder.reset();
      held.lock();
      --pool.busy;
      continue;
    }
    if (pool.busy == 0) break;
    ++pool.waiting;
    pool.wake.wait(held, [&pool] { return !pool.queue.empty() || pool.busy == 0; });
    --pool.waiting;
  }
  pool.wake.notify_all();
}

}  // namespace

unsigned walkWorkers() {
  static const unsigned workers = [] {
    if (const char* text = std::getenv("HOLLIN_WORKERS")) {
      char* end = nullptr;
      const unsigned long value = std::strtoul(text, &end, 10);
      if (end != text && *end == '\0' && value >= 1 && value <= 16) return static_cast<unsigned>(value);
    }
    const unsigned processors = std::thread::hardware_concurrency();
    return processors == 0 ? 1u : processors < 4 ? processors : 4u;
  }();
  return workers;
}

WalkError walkTreeShared(int rootFd, const std::string& rootPath, const WalkVisitor& visitor, unsigned workers,
                         unsigned maxOpenFolders) {
  struct stat root {};
  if (workers <= 1 || visitor.leave || fstat(rootFd, &root) != 0) {
    return walkTree(rootFd, rootPath, visitor, maxOpenFolders);
  }
  UniqueFd copy(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) return walkTree(rootFd, rootPath, visitor, maxOpenFolders);
  Pool pool{visitor, rootPath.size(), root.st_dev, maxOpenFolders, {}, {}, {}, 0, {}, {}, {}};
  pool.queue.push_back({std::move(copy), rootPath, 0});
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < workers; ++i) {
    try {
      threads.emplace_back([&pool] { work(pool); });
    } catch (const std::system_error&) {
      break;  // fewer workers: the walk is the same
    }
  }
  work(pool);
  for (std::thread& thread : threads) thread.join();
  return pool.first;
}
