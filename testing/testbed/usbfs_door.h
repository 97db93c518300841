// The usbfs front door to the recorder model: a mocked USB bus (umockdev) on
// which the recorder is a device 10c4:4512 whose /dev/bus/usb node answers
// libusb's usbfs ioctls from the same RecorderModel the unit tests drive
// in-process. A Restart makes the device leave the bus and come back later
// under a new device number, with its uevents, as a real recorder does.
//
// The ioctl handler runs in umockdev's worker thread; everything else (adding
// and removing the device) runs on the caller's thread through Service().
// Both sides take the door's lock before touching the model.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "testing/recorder_model.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace k24::emulator {

class UsbfsDoor {
 public:
  explicit UsbfsDoor(RecorderModel& model);
  ~UsbfsDoor();
  UsbfsDoor(const UsbfsDoor&) = delete;
  UsbfsDoor& operator=(const UsbfsDoor&) = delete;

  // Builds the mocked bus with its root hub; false (with `error`) when
  // umockdev cannot be used here.
  bool Start(std::string& error);

  // How long the recorder stays off the bus after a restart.
  void SetAbsence(std::chrono::milliseconds absence) { absence_ = absence; }

  // The mode of the recorder's device node from its next plug-in on (the
  // node's own mode when not set: the owner only).
  void SetNodeMode(mode_t mode) { nodeMode_ = mode; }
  // Lets other users use the mocked bus, for an updater run as another user.
  void OpenToAllUsers();

  // Puts `count` other devices (not the recorder, no device node) on the bus
  // for good, each with an identity of its own. At most kMaxOtherDevices.
  void AddOtherDevices(int count);
  static constexpr int kMaxOtherDevices = 50;

  // Plugs the recorder in now (when the model is on the bus).
  void PlugIn();

  // Carries out what the model asked for since the last call: takes the
  // device off the bus after a restart, and puts it back once its absence
  // has passed. Call it often from the owning thread. An absence shorter than
  // kShortAbsence is served in the call that removes the device, so it lasts
  // as long as asked, however seldom this is called.
  void Service();
  static constexpr std::chrono::milliseconds kShortAbsence{10};

  std::mutex& Lock() { return mutex_; }
  int Enumerations() const { return enumerations_; }

  // Called from umockdev's worker thread.
  bool HandleIoctl(UMockdevIoctlClient* client);

 private:
  struct PendingUrb {
    UMockdevIoctlData* urb = nullptr;     // the client's struct usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;  // its data buffer
  };

  void AddDevice();
  void RemoveDevice();
  void CompleteUrb(const PendingUrb& pending);
  void SignalReady(bool ready);
  void ReleasePending();

  RecorderModel& model_;
  std::mutex mutex_;
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  std::string rootDir_;

  // The recorder on the bus (when present).
  bool present_ = false;
  int deviceNumber_ = 51;  // the next add uses the one after
  std::string devnode_;    // /dev/bus/usb/001/DDD
  std::string syspath_;    // /sys/devices/usb1/1-1
  int ptyMaster_ = -1;     // the node is this pty's slave: its flow state is
  int ptySlave_ = -1;      // how the door tells poll() that a URB can be reaped
  int enumerations_ = 0;
  int otherDevices_ = 0;

  std::deque<PendingUrb> submitted_;
  std::deque<PendingUrb> discarded_;

  bool leaving_ = false;  // the model left the bus; the device is still listed
  std::chrono::steady_clock::time_point leftAt_{};
  std::chrono::milliseconds absence_{100};
  mode_t nodeMode_ = 0;
};

}  // namespace k24::emulator
