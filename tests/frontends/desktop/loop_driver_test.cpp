#include "frontends/desktop/loop_driver.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <string>

#include "frontends/desktop/desktop_window.h"
#include "frontends/desktop/message_boxes.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace larvek {
namespace {

// Processes Qt events until `done` holds or 5 s pass.
template <typename Pred>
bool RunQtUntil(Pred done) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < 5000)
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  return done();
}

class LoopDriverTest : public ::testing::Test {
 protected:
  EventLoop loop;
  QtLoopDriver driver{loop};
  std::string trace;
};

TEST_F(LoopDriverTest, PostedTasksAndTimersRunFromTheQtLoopInOrder) {
  Timer timer(loop);
  timer.SetInterval(30);
  timer.SetHandlers({.on_timer = [&] {
    trace += "T";
    timer.SetEnabled(false);
  }});
  loop.Post([&] {
    trace += "a";
    loop.Post([&] { trace += "c"; });  // behind b
    timer.SetEnabled(true);            // armed from inside a pass
  });
  loop.Post([&] { trace += "b"; });
  driver.Start();
  ASSERT_TRUE(RunQtUntil([&] { return trace.size() == 4; })) << trace;
  EXPECT_EQ(trace, "abcT");
}

TEST_F(LoopDriverTest, TimerEnabledOutsideAPassFiresAfterRearm) {
  driver.Start();
  Timer timer(loop);
  timer.SetInterval(20);
  timer.SetHandlers({.on_timer = [&] {
    trace += "T";
    timer.SetEnabled(false);
  }});
  timer.SetEnabled(true);
  driver.Rearm();
  EXPECT_TRUE(RunQtUntil([&] { return trace == "T"; }));
}

TEST_F(LoopDriverTest, ErrorBoxLeavesTheLoopServing) {
  MessageBoxes boxes;
  DesktopWindow window(boxes, "srvlarvek");
  loop.Post([&] {
    window.ShowErrorMessage("first.");
    trace += "1";  // the box did not block the handler
  });
  loop.Post([&] { trace += "2"; });
  driver.Start();
  ASSERT_TRUE(RunQtUntil([&] { return trace == "12"; })) << trace;
  ASSERT_EQ(boxes.OpenBoxes().size(), 1);
  // Still open, and the loop keeps dispatching; a second box joins the first.
  loop.Post([&] {
    window.ShowErrorMessage("second.");
    trace += "3";
  });
  ASSERT_TRUE(RunQtUntil([&] { return trace == "123"; })) << trace;
  EXPECT_EQ(boxes.OpenBoxes().size(), 2);
  boxes.CloseAll();
}

TEST_F(LoopDriverTest, PassesDoNotNestWhenAHandlerSpinsQtEvents) {
  int depth = 0, max_depth = 0;
  auto task = [&](char name) {
    return [&, name] {
      max_depth = std::max(max_depth, ++depth);
      trace += name;
      --depth;
    };
  };
  loop.Post([&] {
    ++depth;
    loop.Post(task('b'));
    // A nested Qt loop (a blocking dialog would run one) sees the notifier fire.
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    trace += "a";
    --depth;
  });
  driver.Start();
  ASSERT_TRUE(RunQtUntil([&] { return trace.size() == 2; })) << trace;
  EXPECT_EQ(trace, "ab");
  EXPECT_EQ(max_depth, 1);
}

TEST_F(LoopDriverTest, NothingRunsAfterStop) {
  driver.Start();
  driver.Stop();
  loop.Post([&] { trace += "x"; });
  for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(trace, "");
}

}  // namespace
}  // namespace larvek
