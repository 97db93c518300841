// The usbfs front door to the recorder model: a mocked USB bus (umockdev) on
// which each recorder is a device 10c4:4512 whose /dev/bus/usb node answers
// libusb's usbfs ioctls from the same RecorderModel the unit tests drive
// in-process. A Restart makes the device leave the bus and come back later
// under a new device number, with its uevents, as a real recorder does; on
// the same port, so at the same place.
//
// Several recorders (a RecorderBus) each sit at their own place: "1-2" is
// port 2 of the root hub, "1-3.1" port 1 of a hub the door puts on port 3.
// Each is plugged in and unplugged when its moments say, or by hand.
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
#include <vector>

#include "testing/recorder_model.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace k24::emulator {

class UsbfsDoor {
 public:
  // One recorder, at place 1-1.
  explicit UsbfsDoor(RecorderModel& model);
  // The recorders of `recorders`, each at its place (bus 1, the door's only
  // one); the bus must outlive the door.
  explicit UsbfsDoor(RecorderBus& recorders);
  ~UsbfsDoor();
  UsbfsDoor(const UsbfsDoor&) = delete;
  UsbfsDoor& operator=(const UsbfsDoor&) = delete;

  // Builds the mocked bus with its root hub and the hubs the recorders'
  // places need; false (with `error`) when umockdev cannot be used here or a
  // place is not one the door can make.
  bool Start(std::string& error);

  // How long the recorder stays off the bus after a restart.
  void SetAbsence(std::chrono::milliseconds absence) { absence_ = absence; }

  // A restart is announced whole before its reply reaches the host: the
  // device's removal and its re-addition (under a new device number) are
  // both sent, and given kAnnouncementsSettle to reach libusb, while the
  // reply to the request that restarted it waits. No presence probe of the
  // host can then see the recorder away; only the departure libusb counted
  // tells that it left.
  void SetRestartBeforeReply(bool on) { restartBeforeReply_ = on; }
  static constexpr std::chrono::milliseconds kAnnouncementsSettle{300};

  // The mode of the recorder's device node from its next plug-in on (the
  // node's own mode when not set: the owner only).
  void SetNodeMode(mode_t mode) { nodeMode_ = mode; }
  // Lets other users use the mocked bus, for an updater run as another user.
  void OpenToAllUsers();

  // Puts `count` other devices (not a recorder, no device node) on the bus
  // for good, each with an identity of its own, on the root hub's ports after
  // the recorders'. At most kMaxOtherDevices.
  void AddOtherDevices(int count);
  static constexpr int kMaxOtherDevices = 50;

  // Plugs a recorder in, or unplugs it, now (the first one by default).
  void PlugIn(std::size_t which = 0);
  void Unplug(std::size_t which);

  // Carries out what the models asked for since the last call: takes a
  // device off the bus after a restart, and puts it back once its absence
  // has passed; plugs in and unplugs what the bus's moments said. Call it
  // often from the owning thread. An absence shorter than kShortAbsence is
  // served in the call that removes the device, so it lasts as long as asked,
  // however seldom this is called.
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

  // A node the door announced as removed but keeps open, because the reply
  // to the request that restarted its recorder is still to be reaped there.
  struct RetiredNode {
    int ptyMaster = -1;
    int ptySlave = -1;
    std::string devnode;
  };

  // One recorder's device on the mocked bus.
  struct Device {
    bool present = false;
    int deviceNumber = 0;
    std::string devnode;  // /dev/bus/usb/001/DDD
    std::string devpath;  // /devices/usb1/1-3/1-3.1
    int ptyMaster = -1;   // the node is this pty's slave: its flow state is
    int ptySlave = -1;    // how the door tells poll() that a URB can be reaped
    std::deque<PendingUrb> submitted;
    std::deque<PendingUrb> unanswered;  // the recorder gave no answer: never completed
    std::deque<PendingUrb> discarded;
    bool leaving = false;  // the model left the bus; the device is still listed
    std::chrono::steady_clock::time_point leftAt{};
    // A restart's reply held back until the restart was announced
    // (SetRestartBeforeReply), on the node the restart came through.
    bool holdingReply = false;
    PendingUrb heldReply;
    bool heldReplyReady = false;
    std::chrono::steady_clock::time_point heldReplyReadyAt{};
    bool retired = false;
    RetiredNode retiredNode;
  };

  void AddDevice(std::size_t which);
  void RemoveDevice(std::size_t which);
  // A removal, and a return served at once after a short absence.
  void ServeDevice(std::size_t which, std::chrono::steady_clock::time_point now);
  // A restart whose reply is held: announced whole, then its reply let go.
  void ServeHeldRestart(std::size_t which, std::chrono::steady_clock::time_point now);
  // Announces the device's removal but keeps its node and pty, where the
  // held reply is still to be reaped; DropRetired closes them afterwards.
  void RetireDevice(Device& device);
  void DropRetired(Device& device);
  // False when the recorder gave no answer: the URB is left as it is.
  bool CompleteUrb(std::size_t which, const PendingUrb& pending);
  void SignalReady(Device& device, bool ready);
  void ReleasePending(Device& device);
  // The device a client talks to, by its node; devices_.size() when none.
  // `retiredNode` tells a node the device was announced gone from, whose
  // only business left is the held reply of its restart.
  std::size_t DeviceOf(UMockdevIoctlClient* client, bool& retiredNode) const;

  RecorderBus ownBus_;  // for the one-recorder door
  RecorderBus& bus_;
  std::vector<Device> devices_;  // one per recorder, by index
  std::mutex mutex_;
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  std::string rootDir_;

  int nextDeviceNumber_ = 52;  // recorders' numbers go round 52 to 250
  int enumerations_ = 0;
  int otherDevices_ = 0;
  int firstFreePort_ = 2;      // the root hub's first port no recorder needs
  bool restartBeforeReply_ = false;
  std::chrono::milliseconds absence_{100};
  mode_t nodeMode_ = 0;
};

}  // namespace k24::emulator
