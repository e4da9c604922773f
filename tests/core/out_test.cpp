// The overrun marks' path in-process: the tick only counts a mark, and the writer thread prints
// it once the reader takes output again; the power-off line follows the marks counted before it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/out.h"
#include "core/tick.h"
#include "servo/sg.h"
#include "support/sim_process.h"
#include "support/small_pipe.h"

namespace {

// One writer per process, so one pipe for every test here; it outlives them all.
SmallPipe* marks_out = nullptr;

struct OverrunMarks : ::testing::Test {
  static void SetUpTestSuite()
  {
    if (!marks_out) {
      marks_out = new SmallPipe;
      out_init(marks_out->writer());
    }
  }
  void TearDown() override { sg_busy.store(0); }
};

}  // namespace

TEST_F(OverrunMarks, BurstWhileTheWriterIsStuckCostsTheTickNoWaitAndEveryMarkFollows)
{
  size_t filled = marks_out->fill();
  ASSERT_GT(filled, 0u);
  sg_busy.store(1);  // every tick finds the servo cycle running
  const int burst = 1000;
  std::atomic<bool> done{false};
  std::thread ticks([&] {
    for (int i = 0; i < burst; i++)
      timer0_handler(timer0_signo(), nullptr, nullptr);
    done = true;
  });
  // With the pipe full the writer is stuck on its first space; the ticks must not be.
  bool went_on = wait_until([&] { return done.load(); }, 20s);
  std::atomic<bool> said{false};
  std::thread line([&] { said = out_say("KT4_SDREQ\n", 20s); });

  std::string want = std::string(filled, 'x') + std::string(burst, ' ') + "KT4_SDREQ\n";
  std::string got = marks_out->read(want.size(), 20s);  // unblocks the ticks should they wait
  ticks.join();
  line.join();
  EXPECT_TRUE(went_on) << "the ticks waited for the reader";
  EXPECT_TRUE(said);
  EXPECT_EQ(got, want);
}

TEST_F(OverrunMarks, LineGivesUpOnAStalledReaderAndFollowsOnceItReadsAgain)
{
  size_t filled = marks_out->fill();
  EXPECT_FALSE(out_say("KT4_SDREQ\n", 300ms));
  EXPECT_EQ(marks_out->read(filled + 10, 20s), std::string(filled, 'x') + "KT4_SDREQ\n");
}
