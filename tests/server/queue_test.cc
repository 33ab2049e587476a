#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "server/queue.h"

namespace {

void* item(uintptr_t v) { return reinterpret_cast<void*>(v); }

// Several producers and consumers at once: every item arrives exactly once,
// each producer's items in order, and no node is lost or freed twice (run
// under ThreadSanitizer and AddressSanitizer by the sanitizer builds).
TEST(WorkQueue, ManyProducersAndConsumers) {
  constexpr int kProducers = 4, kConsumers = 3, kPerProducer = 20000;
  WorkQueue* q = queuecreate();
  ASSERT_NE(q, nullptr);
  std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
  std::atomic<int> taken{0};
  std::atomic<bool> order_ok{true};

  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; p++)
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; i++)
        while (!queuepush(q, item((uintptr_t)(p * kPerProducer + i + 1)))) {
        }
    });
  for (int c = 0; c < kConsumers; c++)
    threads.emplace_back([&] {
      std::vector<int> last(kProducers, -1);
      while (taken.load() < kProducers * kPerProducer) {
        void* v = queuepop(q);
        if (v == nullptr) {
          std::this_thread::yield();
          continue;
        }
        int n = (int)reinterpret_cast<uintptr_t>(v) - 1;
        int p = n / kPerProducer, i = n % kPerProducer;
        if (i <= last[p]) order_ok = false;
        last[p] = i;
        seen[n]++;
        taken++;
      }
    });
  for (auto& t : threads) t.join();

  EXPECT_TRUE(order_ok.load());
  for (auto& s : seen) ASSERT_EQ(s.load(), 1);
  EXPECT_EQ(queuecount(q), 0u);
  EXPECT_EQ(queuepop(q), nullptr);
  // A queue that still holds an item is not freed; an empty one keeps only
  // its sentinel and the stub.
  EXPECT_EQ(queuepush(q, item(1)), 1);
  EXPECT_EQ(queuefree(q), 0);
  EXPECT_EQ(queuepop(q), item(1));
  EXPECT_EQ(q->nodes.load(), 2);
  EXPECT_EQ(queuefree(q), 1);
}

}  // namespace
