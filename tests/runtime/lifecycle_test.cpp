#include "runtime/lifecycle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "runtime/threads.h"

namespace {

std::vector<std::string> g_ran;
void RoutineA() { g_ran.push_back("A"); }
void RoutineB() { g_ran.push_back("B"); }
void RoutineC() { g_ran.push_back("C"); }
void RoutineLate() { g_ran.push_back("late"); }
void RoutineRegistering() {
  g_ran.push_back("registering");
  RegisterExitRoutine(RoutineLate);
}

TEST(ExitRoutines, RunInOrderOnceThenListIsEmpty) {
  g_ran.clear();
  RegisterExitRoutine(RoutineA);
  RegisterExitRoutine(RoutineB);
  RegisterExitRoutine(RoutineA);
  RegisterExitRoutine(nullptr);
  RegisterExitRoutine(RoutineC);
  RegisterExitRoutine(RoutineB);
  RunExitRoutines();
  EXPECT_EQ(g_ran, (std::vector<std::string>{"A", "B", "C"}));

  g_ran.clear();
  RunExitRoutines();
  EXPECT_TRUE(g_ran.empty());

  // Emptied means a routine may be registered anew.
  RegisterExitRoutine(RoutineA);
  RunExitRoutines();
  EXPECT_EQ(g_ran, (std::vector<std::string>{"A"}));
}

TEST(ExitRoutines, RoutineRegisteredWhileRunningWaitsForNextRun) {
  g_ran.clear();
  RegisterExitRoutine(RoutineRegistering);
  RunExitRoutines();
  EXPECT_EQ(g_ran, (std::vector<std::string>{"registering"}));
  RunExitRoutines();
  EXPECT_EQ(g_ran, (std::vector<std::string>{"registering", "late"}));
}

TEST(FatalErrorText, Pieces) {
  const struct {
    int32_t code;
    std::string_view message;
    std::string expected;
  } cases[] = {
      {0, "", "运行时出错!\r\n\r\n"},
      {3, "", "运行时出错!\r\n\r\n错误代码：3\r\n\r\n"},
      {0, "窗口创建失败", "运行时出错!\r\n\r\n错误信息：窗口创建失败\r\n"},
      {-1, "x", "运行时出错!\r\n\r\n错误代码：-1\r\n\r\n错误信息：x\r\n"},
      {INT32_MIN, "", "运行时出错!\r\n\r\n错误代码：-2147483648\r\n\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(FatalErrorText(c.code, c.message), c.expected) << c.code;
}

// Would show up on standard error if the fatal path ran the exit list.
void LoudExitRoutine() {
  constexpr std::string_view kText = "exit routine ran\n";
  [[maybe_unused]] auto written = ::write(STDERR_FILENO, kText.data(), kText.size());
}

void PresentOnStderr(const std::string& boxText) {
  const std::string shown = "[box]" + boxText;
  [[maybe_unused]] auto written = ::write(STDERR_FILENO, shown.data(), shown.size());
}

void PresentThenFailAgain(const std::string& boxText) {
  PresentOnStderr(boxText);
  ReportFatalError(2, "again");
}

void ReportFromThread(int32_t code) { ReportFatalError(code, "worker"); }

testing::Matcher<const std::string&> Exactly(const std::string& text) { return testing::Eq(text); }

TEST(FatalErrorDeathTest, EndsWithBoxTextAndCode255) {
  const std::string box = FatalErrorText(-1, "窗口创建失败");
  EXPECT_EXIT(
      {
        RegisterExitRoutine(LoudExitRoutine);
        ReportFatalError(-1, "窗口创建失败");
      },
      testing::ExitedWithCode(255), Exactly(box));
  EXPECT_EXIT(ReportFatalError(0, ""), testing::ExitedWithCode(255), Exactly("运行时出错!\r\n\r\n"));
}

TEST(FatalErrorDeathTest, OutOfMemoryText) {
  const struct {
    std::size_t bytes;
    const char* expected;
  } cases[] = {
      {123, "运行时出错!\r\n\r\n错误信息：分配 123 字节内存失败!\r\n"},
      // Above what a 32-bit count could show.
      {5'000'000'000, "运行时出错!\r\n\r\n错误信息：分配 5000000000 字节内存失败!\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          RegisterExitRoutine(LoudExitRoutine);
          ReportOutOfMemory(c.bytes);
        },
        testing::ExitedWithCode(255), Exactly(c.expected));
  }
}

TEST(FatalErrorDeathTest, FromAnotherThread) {
  const std::string box = FatalErrorText(5, "worker");
  EXPECT_EXIT(
      {
        std::thread worker;
        if (!StartThread(ReportFromThread, 5, &worker)) std::_Exit(1);
        worker.join();
        std::_Exit(2);
      },
      testing::ExitedWithCode(255), Exactly(box));
}

TEST(FatalErrorDeathTest, PresenterShowsTheBoxOnce) {
  const std::string box = FatalErrorText(1, "m");
  EXPECT_EXIT(
      {
        SetFatalErrorPresenter(PresentOnStderr);
        RegisterExitRoutine(LoudExitRoutine);
        ReportFatalError(1, "m");
      },
      testing::ExitedWithCode(255), Exactly("[box]" + box));

  // A presenter that fails again must not show a second box or loop.
  EXPECT_EXIT(
      {
        SetFatalErrorPresenter(PresentThenFailAgain);
        ReportFatalError(1, "m");
      },
      testing::ExitedWithCode(255), Exactly("[box]" + box));
}

constexpr int kReporters = 8;
std::atomic<int> g_arrived{0};

void PresentWhenAllArrived(const std::string& boxText) {
  PresentOnStderr(boxText);
  // The box stays up until every reporter has called; none of them may show a second one.
  while (g_arrived.load() < kReporters) std::this_thread::yield();
}

void ArriveAndReport(int32_t) {
  g_arrived.fetch_add(1);
  ReportFatalError(9, "race");
}

TEST(FatalErrorDeathTest, ManyThreadsAtOnceShowOneBox) {
  const std::string box = FatalErrorText(9, "race");
  EXPECT_EXIT(
      {
        SetFatalErrorPresenter(PresentWhenAllArrived);
        for (int i = 0; i < kReporters; ++i) {
          if (!StartThread(ArriveAndReport)) std::_Exit(1);
        }
        for (;;) ::pause();
      },
      testing::ExitedWithCode(255), Exactly("[box]" + box));
}

}  // namespace
