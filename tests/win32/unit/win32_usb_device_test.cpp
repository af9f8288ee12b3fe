// The USB device of the Windows build against scripted SetupAPI and WinUSB
// calls (Wine's WinUSB aborts when called, and Wine has no USB device):
// discovery by interface, the open and WinUSB set-up sequence and what a
// failure leaves held, the pipes used, a close that ends a blocked read, and
// an unplugged device.
#include "platform/win32/win32_usb_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/link_control.h"
#include "diag/trace_log.h"
#include "platform/virtual/virtual_event_hub.h"
#include "support/fakes.h"
#include "transport/usb_port.h"

namespace kavro {
namespace {

constexpr uint32_t NO_MORE_ITEMS = 259;
constexpr uint32_t OPERATION_ABORTED = 995;
constexpr uint32_t IO_PENDING = 997;
constexpr uint32_t DEVICE_NOT_CONNECTED = 1167;

const char* const PATH_A = "\\\\?\\usb#vid_1a2b&pid_3c4d#5&1#{bbecb87c-b337-4655-a692-c13b97b61a0f}";
const char* const PATH_B = "\\\\?\\usb#vid_1a2b&pid_3c4e#5&2#{bbecb87c-b337-4655-a692-c13b97b61a0f}";

class ScriptedCalls : public platform::WinUsbCalls {
 public:
  void* GetClassDevices(uint32_t* error) override {
    Log("list");
    *error = listError;
    return listError == 0 ? &list : nullptr;
  }
  uint32_t InterfacePath(void*, uint32_t index, std::string* path) override {
    Log("path " + std::to_string(index));
    if (index >= paths.size()) return NO_MORE_ITEMS;
    *path = paths[index];
    return 0;
  }
  void DestroyList(void*) override { Log("destroy list"); }
  uint32_t OpenDevice(const std::string& path, void** file) override {
    Log("open " + path);
    *file = &deviceFile;
    return openError;
  }
  void CloseDevice(void*) override { Log("close file"); }
  uint32_t Initialize(void*, void** usb) override {
    Log("initialize");
    *usb = &usbHandle;
    return initializeError;
  }
  uint32_t QueryDeviceSpeed(void*) override {
    Log("speed");
    return 0;
  }
  uint32_t QueryInterfaceSettings(void*) override {
    Log("settings");
    return 0;
  }
  void* NewTransfer() override {
    std::lock_guard<std::mutex> lock(mutex);
    return &transfers.emplace_back();
  }
  void FreeTransfer(void*) override {}
  uint32_t StartTransfer(void*, uint8_t pipe, uint8_t* buffer, uint32_t length, void* transfer) override {
    const bool in = pipe == platform::USB_IN_PIPE;
    Log((in ? "read " : "write ") + std::to_string(pipe));
    if (in && beforeReadStarts) beforeReadStarts();
    auto* t = static_cast<Transfer*>(transfer);
    std::lock_guard<std::mutex> lock(mutex);
    *t = Transfer{pipe};
    if (in && readError != 0) return readError;
    if (in ? blockReads : blockWrites) {
      // A transfer the device never completes, until the pipe is aborted.
      t->pending = true;
      if (in) reading = true;
      changed.notify_all();
      return IO_PENDING;
    }
    if (in) buffer[0] = 0x16;
    t->count = in ? 1 : length;
    return 0;
  }
  bool AwaitTransfer(void* transfer, void*, uint32_t timeoutMs) override {
    auto* t = static_cast<Transfer*>(transfer);
    std::unique_lock<std::mutex> lock(mutex);
    auto over = [&] { return !t->pending || stopped; };
    if (timeoutMs == 0xFFFFFFFF) {
      changed.wait(lock, over);
    } else {
      changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), over);
    }
    return !t->pending;
  }
  uint32_t FinishTransfer(void*, void* transfer, uint32_t* count) override {
    auto* t = static_cast<Transfer*>(transfer);
    std::unique_lock<std::mutex> lock(mutex);
    // An aborted transfer is waited for to its end.
    changed.wait(lock, [&] { return !t->pending; });
    *count = t->count;
    return t->aborted ? OPERATION_ABORTED : 0;
  }
  uint32_t AbortPipe(void*, uint8_t pipe) override {
    Log("abort " + std::to_string(pipe));
    std::lock_guard<std::mutex> lock(mutex);
    for (Transfer& t : transfers) {
      if (t.pipe == pipe && t.pending) {
        t.pending = false;
        t.aborted = true;
      }
    }
    changed.notify_all();
    return 0;
  }
  void* NewStopEvent() override { return &stopped; }
  void SetStopEvent(void*) override {
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
    changed.notify_all();
  }
  void FreeStopEvent(void*) override {}
  void Free(void*) override { Log("free"); }

  void Log(const std::string& call) {
    std::lock_guard<std::mutex> lock(callsMutex);
    calls.push_back(call);
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(callsMutex);
    return calls;
  }
  void WaitUntilReading() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return reading; });
  }

  std::vector<std::string> paths;
  uint32_t listError = 0, openError = 0, initializeError = 0, readError = 0;
  bool blockReads = false, blockWrites = false;
  // Runs as a read is about to start, on the reading thread.
  std::function<void()> beforeReadStarts;
  int list = 0, deviceFile = 0, usbHandle = 0;

 private:
  struct Transfer {
    uint8_t pipe = 0;
    bool pending = false;
    bool aborted = false;
    uint32_t count = 0;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Transfer> transfers;
  bool reading = false;
  bool stopped = false;
  std::mutex callsMutex;
  std::vector<std::string> calls;
};

class Win32UsbDeviceTest : public ::testing::Test {
 protected:
  Win32UsbDeviceTest() { trace.TraceMask = 0xFF; }

  testing::FakeLogBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  ScriptedCalls calls;
  platform::Win32UsbDevice device{calls};
  UsbPort port{device, control, trace, hub};
};

TEST_F(Win32UsbDeviceTest, OpensTheFirstInterfaceOfTheClassAndUsesPipesFourAndEightyFour) {
  calls.paths = {PATH_A, PATH_B};
  ASSERT_EQ(port.OpenUsb("USB2"), 1);
  EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"list", "path 0", "path 1", "path 2", "destroy list",
                                                     std::string("open ") + PATH_A, "initialize", "speed",
                                                     "settings"}));
  EXPECT_TRUE(backend.Contains(std::string("Device path:") + PATH_A + " (1a2b:3c4d)"));
  EXPECT_TRUE(backend.Contains(std::string("USB device not used:") + PATH_B + " (1a2b:3c4e)"));
  EXPECT_NE(control.Block.DeviceHandle, INVALID_HANDLE);
  EXPECT_EQ(control.Block.DeviceHandle, port.UsbFileHandle());

  const uint8_t frame[] = {0x16, 0x16, 0x3F, 0x00};
  EXPECT_EQ(port.SendUsb(frame, sizeof frame), 4);
  uint8_t buffer[4096];
  EXPECT_EQ(port.ReceiveUsb(buffer, sizeof buffer), 1);
  const auto all = calls.Calls();
  EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()), (std::vector<std::string>{"write 4", "read 132"}));

  EXPECT_EQ(port.CloseUsb(), 1);
  EXPECT_EQ(port.IsUsbGone(), 1);
}

TEST_F(Win32UsbDeviceTest, NothingFoundOrRefusedLeavesNothingHeld) {
  // No interface of the class (what Wine's SetupAPI answers): the list is
  // released and nothing is opened.
  EXPECT_EQ(port.OpenUsb("USB"), 0);
  EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"list", "path 0", "destroy list"}));
  EXPECT_TRUE(backend.Contains("Error: lpDevicePath == NULL"));
  EXPECT_EQ(control.Block.DeviceHandle, INVALID_HANDLE);

  // WinUSB refuses the device: the three set-up lines, the file closed.
  calls.paths = {PATH_A};
  calls.initializeError = 5;
  backend.Clear();
  EXPECT_EQ(port.OpenUsb("USB"), 0);
  const auto all = calls.Calls();
  EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()), (std::vector<std::string>{"initialize", "close file"}));
  EXPECT_TRUE(backend.Contains("WinUsb_Initialize failed:-3"));
  EXPECT_TRUE(backend.Contains("WinUsb_QueryDeviceInformation failed:-3"));
  EXPECT_TRUE(backend.Contains("WinUsb_QueryInterfaceSettings failed:-3"));
  EXPECT_EQ(control.Block.DeviceHandle, INVALID_HANDLE);
  EXPECT_FALSE(port.HoldsInterface());
  EXPECT_EQ(device.LastSystemError(), 5u);
}

TEST_F(Win32UsbDeviceTest, CloseEndsABlockedReadBeforeTheHandlesGoAndWritesAreBounded) {
  calls.paths = {PATH_A};
  ASSERT_EQ(port.OpenUsb("USB"), 1);

  // A write the device never takes ends within its bound (2 ms a byte and
  // a second), aborted, and fails.
  calls.blockWrites = true;
  const uint8_t frame[] = {0x16, 0x16, 0x3F, 0x00};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.SendUsb(frame, sizeof frame), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(calls.Calls().back(), "abort 4");

  calls.blockReads = true;
  auto reader = std::async(std::launch::async, [this] {
    uint8_t buffer[4096];
    return port.ReceiveUsb(buffer, sizeof buffer);
  });
  calls.WaitUntilReading();
  const uint64_t before = hub.NowMs();
  EXPECT_EQ(port.CloseUsb(), 1);
  EXPECT_EQ(reader.get(), 0);
  // Ended by the close: no retry pause, and the link counts as gone.
  EXPECT_EQ(hub.NowMs(), before);
  EXPECT_EQ(port.IsUsbGone(), 1);
  const auto all = calls.Calls();
  EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()), (std::vector<std::string>{"free", "close file"}));
}

TEST_F(Win32UsbDeviceTest, ACloseJustBeforeTheReadStartsStillEndsIt) {
  calls.paths = {PATH_A};
  ASSERT_EQ(port.OpenUsb("USB"), 1);
  calls.blockReads = true;
  // The close comes after the read has found the device open, before the
  // transfer starts: it has nothing to abort yet, and must still end it.
  std::future<int> closer;
  calls.beforeReadStarts = [&] {
    calls.beforeReadStarts = nullptr;
    closer = std::async(std::launch::async, [this] { return port.CloseUsb(); });
    while (calls.Calls().back() != "abort 4") std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  auto reader = std::async(std::launch::async, [this] {
    uint8_t buffer[64];
    return port.ReceiveUsb(buffer, sizeof buffer);
  });
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the read is still blocked";
  EXPECT_EQ(reader.get(), 0);
  EXPECT_EQ(closer.get(), 1);
}

TEST_F(Win32UsbDeviceTest, AnUnpluggedDeviceEndsTheLink) {
  calls.paths = {PATH_A};
  ASSERT_EQ(port.OpenUsb("USB"), 1);
  calls.readError = DEVICE_NOT_CONNECTED;
  uint8_t buffer[64];
  EXPECT_EQ(port.ReceiveUsb(buffer, sizeof buffer), 0);
  EXPECT_TRUE(backend.Contains("WinUsb_ReadPipe failed:-4"));
  EXPECT_EQ(port.IsUsbGone(), 1);
  EXPECT_EQ(device.LastSystemError(), DEVICE_NOT_CONNECTED);
}

}  // namespace
}  // namespace kavro
