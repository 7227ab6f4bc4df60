// The Win32 side of the seam against the real system (or Wine): module
// look-up and the event-handle converter, OS events behind seam handles,
// threads, the clock, the missing driver and refused port access.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "gtest/gtest.h"
#include "platform/os.h"
#include "platform/os/win32/win32.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

using platform::Handle;
using platform::WaitResult;

class WindowsOsTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::os::selectPlatformDriver(true); }
  void TearDown() override { platform::os::selectPlatformDriver(true); }
};

bool systemHasOpenVxDHandle() {
  return GetProcAddress(GetModuleHandleA("KERNEL32"), "OpenVxDHandle") !=
         nullptr;
}

TEST_F(WindowsOsTest, FindsFunctionsOfLoadedModules) {
  void* found = platform::findModuleFunction("KERNEL32", "GetTickCount");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found, reinterpret_cast<void*>(GetProcAddress(
                       GetModuleHandleA("kernel32.dll"), "GetTickCount")));
  EXPECT_EQ(platform::findModuleFunction("KERNEL32", "NoSuchFunction"),
            nullptr);
  EXPECT_EQ(platform::findModuleFunction("NOSUCHMODULE", "GetTickCount"),
            nullptr);
}

TEST_F(WindowsOsTest, ConverterWithoutTheSystemFunction) {
  if (systemHasOpenVxDHandle()) GTEST_SKIP() << "this system converts";
  auto convert = reinterpret_cast<platform::HandleConverter>(
      platform::findModuleFunction("kernel32.dll", "OpenVxDHandle"));
  ASSERT_NE(convert, nullptr);
  Handle event = platform::createEvent();
  ASSERT_NE(event, nullptr);
  // The platform's driver gets the event's OS handle, never a seam number.
  EXPECT_EQ(convert(event),
            reinterpret_cast<Handle>(platform::win32::nativeEvent(event)));
  // The simulated card gets the seam handle and can signal what it was
  // handed.
  platform::os::selectPlatformDriver(false);
  EXPECT_EQ(convert(event), event);
  EXPECT_TRUE(platform::setEvent(convert(event)));
  EXPECT_EQ(platform::waitEvent(event, 0), WaitResult::First);
  platform::os::selectPlatformDriver(true);
  EXPECT_TRUE(platform::closeHandle(event));
}

// A stand-in for the system's converter that records what it was given.
std::atomic<HANDLE> convertedFrom{nullptr};
std::atomic<int> conversions{0};
DWORD WINAPI fakeOpenVxDHandle(HANDLE event) {
  convertedFrom = event;
  ++conversions;
  return 0xC0DE0000u;
}

TEST_F(WindowsOsTest, ConverterHandsTheSystemTheEventsOsHandle) {
  Handle event = platform::createEvent();
  ASSERT_NE(event, nullptr);
  HANDLE native = platform::win32::nativeEvent(event);
  ASSERT_NE(native, nullptr);
  EXPECT_NE(reinterpret_cast<Handle>(native), event);

  conversions = 0;
  Handle converted =
      platform::win32::convertForDriver(event, fakeOpenVxDHandle);
  EXPECT_EQ(conversions.load(), 1);
  EXPECT_EQ(convertedFrom.load(), native);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(converted), 0xC0DE0000u);

  // What the driver signals is the seam's event: an auto-reset OS event.
  ASSERT_TRUE(SetEvent(native));
  EXPECT_EQ(platform::waitEvent(event, 0), WaitResult::First);
  EXPECT_EQ(platform::waitEvent(event, 0), WaitResult::TimedOut);

  // Without the system's converter the driver still gets the OS handle.
  EXPECT_EQ(platform::win32::convertForDriver(event, nullptr),
            reinterpret_cast<Handle>(native));

  // Another backend than the platform's driver signals the seam handle.
  platform::os::selectPlatformDriver(false);
  EXPECT_EQ(platform::win32::convertForDriver(event, fakeOpenVxDHandle), event);
  EXPECT_EQ(conversions.load(), 1);
  platform::os::selectPlatformDriver(true);

  // A closed handle reaches neither the system nor another event.
  ASSERT_TRUE(platform::closeHandle(event));
  EXPECT_EQ(platform::win32::nativeEvent(event), nullptr);
  EXPECT_EQ(platform::win32::convertForDriver(event, fakeOpenVxDHandle),
            nullptr);
  EXPECT_EQ(conversions.load(), 1);
}

TEST_F(WindowsOsTest, ClosingAnEventWakesEveryWaiter) {
  Handle event = platform::createEvent();
  Handle other = platform::createEvent();
  ASSERT_NE(event, nullptr);
  ASSERT_NE(other, nullptr);
  std::atomic<int> failed{0};
  tv940test::Thread single([&] {
    if (platform::waitEvent(event, INFINITE - 1) == WaitResult::Failed)
      ++failed;
  });
  tv940test::Thread pair([&] {
    const Handle both[2] = {other, event};
    if (platform::waitAnyOfTwo(both) == WaitResult::Failed) ++failed;
  });
  // Both waiters are blocked (or not yet waiting); either way they must end.
  Sleep(50);
  EXPECT_TRUE(platform::closeHandle(event));
  single.join();
  pair.join();
  EXPECT_EQ(failed.load(), 2);
  EXPECT_FALSE(platform::setEvent(event));
  EXPECT_TRUE(platform::closeHandle(other));
}

TEST_F(WindowsOsTest, PairWaitReportsTheLowerIndexFirst) {
  const Handle pair[2] = {platform::createEvent(), platform::createEvent()};
  ASSERT_NE(pair[0], nullptr);
  ASSERT_NE(pair[1], nullptr);
  ASSERT_TRUE(platform::setEvent(pair[1]));
  ASSERT_TRUE(platform::setEvent(pair[0]));
  EXPECT_EQ(platform::waitAnyOfTwo(pair), WaitResult::First);
  EXPECT_EQ(platform::waitAnyOfTwo(pair), WaitResult::Second);
  EXPECT_EQ(platform::waitEvent(pair[0], 0), WaitResult::TimedOut);
  EXPECT_EQ(platform::waitEvent(pair[1], 0), WaitResult::TimedOut);
  EXPECT_TRUE(platform::closeHandle(pair[0]));
  EXPECT_TRUE(platform::closeHandle(pair[1]));
}

struct ThreadReport {
  std::atomic<DWORD> id{0};
  void* argument = nullptr;
  Handle done = nullptr;
};

std::uint32_t PLATFORM_STDCALL reportThread(void* argument) {
  auto* report = static_cast<ThreadReport*>(argument);
  report->argument = argument;
  report->id = GetCurrentThreadId();
  platform::setEvent(report->done);
  return 0;
}

TEST_F(WindowsOsTest, StartedThreadRunsTheRoutineAndReportsItsId) {
  ThreadReport report;
  report.done = platform::createEvent();
  ASSERT_NE(report.done, nullptr);
  std::uint32_t id = 0;
  ASSERT_TRUE(platform::startThread(reportThread, &report, &id));
  ASSERT_EQ(platform::waitEvent(report.done, 10000), WaitResult::First);
  EXPECT_EQ(report.argument, &report);
  EXPECT_EQ(report.id.load(), id);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_FALSE(platform::startThread(nullptr, nullptr, nullptr));
  EXPECT_TRUE(platform::closeHandle(report.done));
}

TEST_F(WindowsOsTest, ClockCountsMillisecondsFromTheStart) {
  const std::int32_t before = platform::millisecondClock();
  EXPECT_GE(before, 0);
  Sleep(30);
  const std::int32_t after = platform::millisecondClock();
  EXPECT_GT(after, before);
}

TEST_F(WindowsOsTest, MissingDriverFailsWithTheSystemsReason) {
  EXPECT_EQ(platform::openDevice("\\\\.\\TV940.VXD"), nullptr);
  const std::string failure = platform::lastOpenFailure();
  EXPECT_EQ(failure.rfind("\\\\.\\TV940.VXD: the card's driver is not "
                          "installed or cannot be opened: ",
                          0),
            0u)
      << failure;
  EXPECT_NE(failure.find("(error "), std::string::npos) << failure;
  EXPECT_NE(failure.find("TV940_DEVICE"), std::string::npos) << failure;
  EXPECT_EQ(failure.find('\n'), std::string::npos);
  EXPECT_EQ(failure.find('\r'), std::string::npos);
}

TEST_F(WindowsOsTest, SystemErrorsReadAsOneLineWithTheirNumber) {
  const std::string text = platform::win32::errorText(ERROR_FILE_NOT_FOUND);
  EXPECT_NE(text.find("(error 2)"), std::string::npos) << text;
  EXPECT_GT(text.size(), std::string("(error 2)").size()) << text;
  EXPECT_EQ(text.find('\n'), std::string::npos);
  // A number the system has no text for.
  EXPECT_EQ(platform::win32::errorText(0xDEAD0000u), "error 3735879680");
}

TEST_F(WindowsOsTest, RuntimeSemaphoresDoNotNeedTheUnicodeFunction) {
  // The C++ runtime's locks call CreateSemaphoreW through its import slot;
  // the seam serves that slot with the ANSI function, since Windows 95 and
  // 98 have only a failing stub of the Unicode one.
  EXPECT_NE(reinterpret_cast<void*>(&CreateSemaphoreW),
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("KERNEL32"),
                                                   "CreateSemaphoreW")));
  HANDLE unnamed = CreateSemaphoreW(nullptr, 0, 2, nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_EQ(WaitForSingleObject(unnamed, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseSemaphore(unnamed, 1, nullptr));
  EXPECT_EQ(WaitForSingleObject(unnamed, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(unnamed));
  // A name reaches the system unchanged.
  HANDLE named = CreateSemaphoreW(nullptr, 1, 1, L"tv940-test-semaphore");
  ASSERT_NE(named, nullptr);
  HANDLE again = OpenSemaphoreA(SYNCHRONIZE, FALSE, "tv940-test-semaphore");
  EXPECT_NE(again, nullptr);
  if (again != nullptr) CloseHandle(again);
  EXPECT_TRUE(CloseHandle(named));
}

// A program's own handler for refused port instructions: counts them and
// goes on after the instruction (in and out with the port in DX are one
// byte long).
int refusedPortInstructions = 0;

LONG CALLBACK skipRefusedPortInstruction(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_PRIV_INSTRUCTION)
    return EXCEPTION_CONTINUE_SEARCH;
  ++refusedPortInstructions;
#ifdef __i386__
  exception->ContextRecord->Eip += 1;
#else
  exception->ContextRecord->Rip += 1;
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

TEST_F(WindowsOsTest, RefusedPortAccessIsLeftToTheProgram) {
  // Systems that refuse user programs the port instructions (the NT line,
  // and Wine) raise the processor's exception. The library neither reports
  // it nor ends the process: a handler of the program's own, installed last,
  // still sees both.
  void* handler = AddVectoredExceptionHandler(0, skipRefusedPortInstruction);
  ASSERT_NE(handler, nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  platform::win32::portOut32(0xE018, 0);
  platform::win32::portIn32(0xE020);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  RemoveVectoredExceptionHandler(handler);
  EXPECT_EQ(refusedPortInstructions, 2);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
}

// The suites' thread count on Windows: it must see a seam thread come and
// go, or their checks that no thread is left behind would hold vacuously.
std::uint32_t PLATFORM_STDCALL waitForRelease(void* release) {
  platform::waitEvent(static_cast<Handle>(release), 60000);
  return 0;
}

TEST_F(WindowsOsTest, ThreadCountSeesSeamThreadsComeAndGo) {
  const std::size_t before = tv940test::threadCount();
  ASSERT_GE(before, 1u);
  Handle release = platform::createEvent();
  ASSERT_NE(release, nullptr);
  ASSERT_TRUE(platform::startThread(waitForRelease, release, nullptr));
  EXPECT_EQ(tv940test::threadCount(), before + 1);
  platform::setEvent(release);
  for (int i = 0; i < 10000 && tv940test::threadCount() > before; ++i) Sleep(1);
  EXPECT_EQ(tv940test::threadCount(), before);
  EXPECT_TRUE(platform::closeHandle(release));
}

// One program at a time writes a trace file: a second writer's open fails
// before it has emptied anything, while readers still read it; a file the
// check keeps stays as it was.
TEST_F(WindowsOsTest, TraceFileHasOneWriterAndKeepsWhatItMayNotReplace) {
  const char* const path = "windows-os-test.trace";
  std::remove(path);
  auto replace = +[](void*) { return true; };
  const platform::os::TraceFile first =
      platform::os::openTraceFile(path, replace, nullptr);
  ASSERT_NE(first.file, nullptr);
  std::fputs("req 0\n", first.file);
  std::fflush(first.file);
  const platform::os::TraceFile second =
      platform::os::openTraceFile(path, replace, nullptr);
  EXPECT_EQ(second.file, nullptr);
  EXPECT_EQ(second.failure, platform::os::TraceFile::Failure::InUse);
  char line[16] = {};
  std::FILE* reader = std::fopen(path, "rb");
  ASSERT_NE(reader, nullptr);
  EXPECT_STREQ(std::fgets(line, sizeof line, reader), "req 0\r\n");
  std::fclose(reader);
  std::fclose(first.file);

  const platform::os::TraceFile kept = platform::os::openTraceFile(
      path, +[](void*) { return false; }, nullptr);
  EXPECT_EQ(kept.file, nullptr);
  EXPECT_EQ(kept.failure, platform::os::TraceFile::Failure::Kept);
  reader = std::fopen(path, "rb");
  ASSERT_NE(reader, nullptr);
  EXPECT_STREQ(std::fgets(line, sizeof line, reader), "req 0\r\n");
  std::fclose(reader);
  std::remove(path);
}

}  // namespace
