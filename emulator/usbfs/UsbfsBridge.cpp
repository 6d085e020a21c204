#include "usbfs/UsbfsBridge.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "DriverWire.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "platform/Platform.h"

namespace lumo::emulator {

namespace {

constexpr std::uint32_t kWaitSliceMs = 50;
constexpr std::uint32_t kCloseWaitMs = 5000;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kSetInterface = 0x0B;
constexpr std::uint32_t kStallUsbStatusWord = 0xC0000004;

void PutLe16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

// A transfer request of the driver's format: header, then the data.
std::vector<std::uint8_t> Record(std::uint8_t endpoint, const std::uint8_t* setup,
                                 std::uint32_t dataLength) {
  std::vector<std::uint8_t> record(wire::kHeaderSize + dataLength, 0);
  if (setup) std::memcpy(record.data() + wire::kSetupOffset, setup, 8);
  record[wire::kEndpointOffset] = endpoint;
  wire::PutLe32(record.data() + wire::kDataOffsetOffset, wire::kHeaderSize);
  wire::PutLe32(record.data() + wire::kDataLengthOffset, dataLength);
  return record;
}

}  // namespace

// One plug of the device: its sysfs entry and node, the ioctl handler of
// the node, and the URBs the program submitted there.
class UsbfsBridge::Connection {
 public:
  struct Urb {
    UMockdevIoctlData* urbData = nullptr;  // the program's URB, resolved
    UMockdevIoctlData* buffer = nullptr;   // its data buffer, resolved
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    bool in = false;
    bool discarded = false;
    std::vector<std::uint8_t> record;  // the request sent to the emulated device
    platform::Overlapped overlapped;
    int status = 0;
    int actual = 0;

    ~Urb() {
      if (overlapped.event) platform::CloseHandle(overlapped.event);
      if (buffer) g_object_unref(buffer);
      if (urbData) g_object_unref(urbData);
    }
  };

  Connection(UMockdevTestbed* testbed, std::string sysfsPath, std::string node,
             platform::Handle device, Tally& tally)
      : testbed_(testbed),
        sysfs_(std::move(sysfsPath)),
        node_(std::move(node)),
        device_(device),
        tally_(tally) {}

  ~Connection() {
    if (gate_) {
      // umockdev's thread may be about to call the handler, or be calling
      // it: it serves nothing from now on, and this waits for a call that
      // is running.
      std::lock_guard<std::mutex> lock(gate_->mutex);
      gate_->connection = nullptr;
    }
    Close();
    if (attached_) umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
    if (handler_) g_object_unref(handler_);
  }

  bool Attach() {
    handler_ = umockdev_ioctl_base_new();
    gate_ = new Gate;
    gate_->connection = this;
    // The gate outlives the connection: the signal owns it and frees it
    // when the handler object goes, after umockdev's last call.
    g_signal_connect_data(
        handler_, "handle-ioctl", G_CALLBACK(&Connection::OnIoctl), gate_,
        [](gpointer gate, GClosure*) { delete static_cast<Gate*>(gate); }, GConnectFlags(0));
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &error)) {
      std::fprintf(stderr, "usbfs bridge: cannot attach to %s: %s\n", node_.c_str(),
                   error ? error->message : "?");
      if (error) g_error_free(error);
      return false;
    }
    attached_ = true;
    return true;
  }

  // The device is gone, as a real one that is unplugged: the URBs in flight
  // are given back with -ESHUTDOWN to the program's next reaps, then every
  // request fails with ENODEV. The emulated device's handle is closed.
  void Close() {
    std::map<std::uint8_t, std::thread> waiters;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (gone_) return;
      gone_ = true;
      waiters.swap(waiters_);
    }
    wake_.notify_all();
    for (auto& entry : waiters) entry.second.join();
    // Closing the handle finishes the requests still outstanding; each URB
    // is freed only once its request is published, since the device may be
    // filling its buffer right now.
    if (device_ != platform::InvalidHandle()) platform::CloseHandle(device_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : inFlight_)
      for (Urb* urb : entry.second) {
        platform::WaitForEvent(urb->overlapped.event, kCloseWaitMs);
        urb->status = -ESHUTDOWN;
        urb->actual = 0;
        reapable_.push_back(urb);
      }
    inFlight_.clear();
  }

  const std::string& SysfsPath() const { return sysfs_; }

 private:
  // What umockdev's thread calls through: the connection while it lives.
  struct Gate {
    std::mutex mutex;
    Connection* connection = nullptr;
  };

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Gate* gate = static_cast<Gate*>(data);
    std::lock_guard<std::mutex> lock(gate->mutex);
    if (!gate->connection) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    gate->connection->Serve(client);
    return TRUE;
  }

  void Serve(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
      if (gone_ && !(reap && !reapable_.empty()))
        return umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
        if (!caps) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        const std::uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                    USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                    USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(caps->data, &value, sizeof(value));
        g_object_unref(caps);
        return umockdev_ioctl_client_complete(client, 0, 0);
      }
      case USBDEVFS_SUBMITURB:
        return Submit(client, arg);
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        return Reap(client, arg);
      case USBDEVFS_DISCARDURB:
        return Discard(client, arg);
      case USBDEVFS_SETINTERFACE: {
        UMockdevIoctlData* data =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
        if (!data) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        usbdevfs_setinterface setting{};
        std::memcpy(&setting, data->data, sizeof(setting));
        g_object_unref(data);
        return Standard(client, 0x01, kSetInterface, static_cast<std::uint16_t>(setting.altsetting),
                        static_cast<std::uint16_t>(setting.interface));
      }
      case USBDEVFS_SETCONFIGURATION: {
        UMockdevIoctlData* data =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
        if (!data) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        unsigned int value = 0;
        std::memcpy(&value, data->data, sizeof(value));
        g_object_unref(data);
        return Standard(client, 0x00, kSetConfiguration, static_cast<std::uint16_t>(value), 0);
      }
      case USBDEVFS_CLAIMINTERFACE:
        tally_.claims.fetch_add(1);
        return umockdev_ioctl_client_complete(client, 0, 0);
      case USBDEVFS_RELEASEINTERFACE:
        tally_.claims.fetch_sub(1);
        return umockdev_ioctl_client_complete(client, 0, 0);
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
      case USBDEVFS_RESET:
        return umockdev_ioctl_client_complete(client, 0, 0);
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:
        // No kernel driver is bound to the emulated device.
        return umockdev_ioctl_client_complete(client, -1, ENODATA);
      default:
        return umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
  }

  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    auto urb = std::make_unique<Urb>();
    urb->urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!urb->urbData) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    usbdevfs_urb header{};
    std::memcpy(&header, urb->urbData->data, sizeof(header));
    if (header.buffer_length < 0 ||
        (header.type != USBDEVFS_URB_TYPE_CONTROL && header.type != USBDEVFS_URB_TYPE_BULK &&
         header.type != USBDEVFS_URB_TYPE_INTERRUPT))
      return umockdev_ioctl_client_complete(client, -1, EINVAL);
    if (header.buffer_length > 0) {
      urb->buffer = umockdev_ioctl_data_resolve(urb->urbData, offsetof(usbdevfs_urb, buffer),
                                                static_cast<gsize>(header.buffer_length), nullptr);
      if (!urb->buffer) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    urb->type = header.type;
    urb->endpoint = header.endpoint;
    const std::uint8_t* bytes = urb->buffer ? urb->buffer->data : nullptr;
    std::uint32_t code = wire::kBufferedTransfer;
    if (header.type == USBDEVFS_URB_TYPE_CONTROL) {
      if (header.buffer_length < 8) return umockdev_ioctl_client_complete(client, -1, EINVAL);
      const std::uint32_t stage = static_cast<std::uint32_t>(header.buffer_length) - 8;
      urb->in = (bytes[0] & 0x80) != 0;
      urb->record = Record(0, bytes, stage);
      if (!urb->in && stage) std::memcpy(urb->record.data() + wire::kHeaderSize, bytes + 8, stage);
      code = wire::kControlTransfer;
    } else {
      const auto length = static_cast<std::uint32_t>(header.buffer_length);
      urb->in = (header.endpoint & 0x80) != 0;
      urb->record = Record(header.endpoint, nullptr, length);
      if (!urb->in && length) std::memcpy(urb->record.data() + wire::kHeaderSize, bytes, length);
    }
    urb->overlapped.event = platform::CreateEventObject(true, false);
    if (!urb->overlapped.event) return umockdev_ioctl_client_complete(client, -1, ENOMEM);
    tally_.submitted.fetch_add(1, std::memory_order_relaxed);

    std::lock_guard<std::mutex> lock(mutex_);
    Urb* raw = urb.get();
    if (gone_ || !Issue(code, *raw)) return umockdev_ioctl_client_complete(client, -1, ENODEV);
    inFlight_[raw->endpoint].push_back(raw);
    urbs_.push_back(std::move(urb));
    StartWaiter(raw->endpoint);
    wake_.notify_all();
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  // Sends a URB's request to the emulated device; false when it refused it
  // outright (the device is gone).
  bool Issue(std::uint32_t code, Urb& urb) {
    const auto size = static_cast<std::uint32_t>(urb.record.size());
    const bool done = platform::IoControl(device_, code, urb.record.data(), size, urb.record.data(),
                                          size, nullptr, &urb.overlapped);
    return done || platform::LastError() == platform::kErrorIoPending;
  }

  void StartWaiter(std::uint8_t endpoint) {
    if (waiters_.count(endpoint)) return;
    waiters_.emplace(endpoint, std::thread([this, endpoint] { Wait(endpoint); }));
  }

  // Finishes the URBs of one endpoint in the order they were submitted,
  // which is the order the device completes them in.
  void Wait(std::uint8_t endpoint) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return gone_ || !inFlight_[endpoint].empty(); });
      if (gone_) return;
      Urb* urb = inFlight_[endpoint].front();
      lock.unlock();
      const std::uint32_t waited = platform::WaitForEvent(urb->overlapped.event, kWaitSliceMs);
      lock.lock();
      if (gone_) return;
      if (waited != platform::kWaitObject0) continue;
      std::uint32_t bytes = 0;
      std::uint32_t error = 0;
      if (!platform::OverlappedResult(device_, &urb->overlapped, &bytes, false))
        error = platform::LastError();
      inFlight_[endpoint].pop_front();
      if (error == platform::kErrorOperationAborted && !urb->discarded) {
        // Aborted along with a discarded URB of the same endpoint: the
        // program did not ask for this one to end, so it goes on.
        platform::ResetEventObject(urb->overlapped.event);
        const std::uint32_t code = urb->type == USBDEVFS_URB_TYPE_CONTROL ? wire::kControlTransfer
                                                                          : wire::kBufferedTransfer;
        if (Issue(code, *urb)) {
          inFlight_[endpoint].push_back(urb);
          continue;
        }
        error = platform::kErrorGenFailure;
      }
      Finish(*urb, error, bytes);
      reapable_.push_back(urb);
    }
  }

  void Finish(Urb& urb, std::uint32_t error, std::uint32_t bytes) {
    urb.actual = bytes > wire::kHeaderSize ? static_cast<int>(bytes - wire::kHeaderSize) : 0;
    if (error == 0) {
      urb.status = 0;
    } else if (error == platform::kErrorOperationAborted) {
      urb.status = -ENOENT;
    } else if (wire::Le32(urb.record.data() + wire::kUsbStatusOffset) == kStallUsbStatusWord) {
      urb.status = -EPIPE;
    } else if (error == platform::kErrorGenFailure) {
      urb.status = -ESHUTDOWN;
    } else {
      urb.status = -EPROTO;
    }
    if (!urb.in)
      urb.actual = error == 0 ? static_cast<int>(urb.record.size() - wire::kHeaderSize) : 0;
  }

  void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    std::unique_ptr<Urb> urb;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (reapable_.empty()) return umockdev_ioctl_client_complete(client, -1, EAGAIN);
      Urb* raw = reapable_.front();
      reapable_.pop_front();
      for (auto it = urbs_.begin(); it != urbs_.end(); ++it)
        if (it->get() == raw) {
          urb = std::move(*it);
          urbs_.erase(it);
          break;
        }
    }
    usbdevfs_urb header{};
    std::memcpy(&header, urb->urbData->data, sizeof(header));
    header.status = urb->status;
    header.actual_length = urb->actual;
    std::memcpy(urb->urbData->data, &header, sizeof(header));
    if (urb->in && urb->actual > 0 && urb->buffer) {
      const std::size_t at = urb->type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
      const std::size_t room = static_cast<std::size_t>(urb->buffer->data_len) - at;
      std::memcpy(urb->buffer->data + at, urb->record.data() + wire::kHeaderSize,
                  std::min<std::size_t>(room, static_cast<std::size_t>(urb->actual)));
    }
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (!slot) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    umockdev_ioctl_data_set_ptr(slot, 0, urb->urbData);
    g_object_unref(slot);
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof(address), arg->data_len));
    std::uint8_t endpoint = 0;
    bool found = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& entry : inFlight_)
        for (Urb* urb : entry.second)
          if (urb->urbData->client_addr == address) {
            urb->discarded = true;
            endpoint = urb->endpoint;
            found = true;
          }
    }
    // A URB that finished already cannot be discarded; the program reaps it.
    if (!found) return umockdev_ioctl_client_complete(client, -1, EINVAL);
    std::uint8_t address8 = endpoint;
    std::uint32_t bytes = 0;
    platform::IoControl(device_, wire::kAbortEndpoint, &address8, 1, nullptr, 0, &bytes, nullptr);
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  // Selecting a configuration or an alternate setting: the standard
  // request, sent to the emulated device and waited for.
  void Standard(UMockdevIoctlClient* client, std::uint8_t requestType, std::uint8_t request,
                std::uint16_t value, std::uint16_t index) {
    std::uint8_t setup[8] = {requestType, request};
    PutLe16(setup + 2, value);
    PutLe16(setup + 4, index);
    std::vector<std::uint8_t> record = Record(0, setup, 0);
    const auto size = static_cast<std::uint32_t>(record.size());
    std::uint32_t bytes = 0;
    if (platform::IoControl(device_, wire::kControlTransfer, record.data(), size, record.data(),
                            size, &bytes, nullptr))
      return umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_client_complete(
        client, -1, platform::LastError() == platform::kErrorGenFailure ? EPIPE : EINVAL);
  }

  UMockdevTestbed* const testbed_;
  const std::string sysfs_;
  const std::string node_;
  const platform::Handle device_;
  Tally& tally_;
  UMockdevIoctlBase* handler_ = nullptr;
  Gate* gate_ = nullptr;  // owned by the handler's signal once attached
  bool attached_ = false;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool gone_ = false;
  std::vector<std::unique_ptr<Urb>> urbs_;             // submitted, not reaped
  std::map<std::uint8_t, std::deque<Urb*>> inFlight_;  // per endpoint, in order
  std::deque<Urb*> reapable_;
  std::map<std::uint8_t, std::thread> waiters_;
};

UsbfsBridge::UsbfsBridge(UMockdevTestbed* testbed, EmulatedDevice& device, int bus,
                         std::string port)
    : testbed_(testbed), device_(device), bus_(bus), port_(std::move(port)) {
  g_object_ref(testbed_);
}

UsbfsBridge::~UsbfsBridge() {
  Unplug();
  unplugged_.clear();
  g_object_unref(testbed_);
}

bool UsbfsBridge::IsPlugged() const { return connection_ != nullptr; }

std::uint64_t UsbfsBridge::UrbsSubmitted() const {
  return tally_.submitted.load(std::memory_order_relaxed);
}

bool UsbfsBridge::InterfaceClaimed() const { return tally_.claims.load() > 0; }

bool UsbfsBridge::Plug() {
  if (connection_) return false;
  if (!device_.PlugBackstage()) return false;
  const platform::Handle handle = platform::OpenDevicePath(device_.BackstagePath());
  if (handle == platform::InvalidHandle()) {
    device_.Unplug();
    return false;
  }
  // Addresses are unique on a bus, across all bridges of the process, as a
  // host controller hands them out.
  static std::atomic<int> nextAddress{2};
  const int address = nextAddress.fetch_add(1);
  char node[64];
  std::snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", bus_, address);
  char busText[8], addressText[8], busPadded[8], addressPadded[8], major[16];
  std::snprintf(busText, sizeof(busText), "%d", bus_);
  std::snprintf(addressText, sizeof(addressText), "%d", address);
  std::snprintf(busPadded, sizeof(busPadded), "%03d", bus_);
  std::snprintf(addressPadded, sizeof(addressPadded), "%03d", address);
  std::snprintf(major, sizeof(major), "189:%d", (bus_ - 1) * 128 + address - 1);

  // The node and its handler come first: adding the sysfs entry announces
  // the device, and a program may open the node at once. The test bed does
  // not make the node itself; the preload library connects a program that
  // opens it to the handler.
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  const std::string nodeFile = std::string(root) + node;
  g_free(root);
  g_mkdir_with_parents(nodeFile.substr(0, nodeFile.rfind('/')).c_str(), 0755);
  std::ofstream(nodeFile).close();
  const std::string name = "usb" + std::to_string(bus_) + "/" + port_;
  auto connection =
      std::make_unique<Connection>(testbed_, "/sys/devices/" + name, node, handle, tally_);
  if (!connection->Attach()) {
    connection.reset();
    device_.Unplug();
    return false;
  }

  const DescriptorSet descriptors = device_.Descriptors();
  std::vector<std::uint8_t> all = descriptors.device;
  for (const auto& entry : descriptors.configurations)
    all.insert(all.end(), entry.second.begin(), entry.second.end());
  char vendor[8] = "0000", product[8] = "0000", bcd[8] = "0000";
  if (descriptors.device.size() >= 18) {
    const std::uint8_t* d = descriptors.device.data();
    std::snprintf(vendor, sizeof(vendor), "%04x", wire::Le16(d + 8));
    std::snprintf(product, sizeof(product), "%04x", wire::Le16(d + 10));
    std::snprintf(bcd, sizeof(bcd), "%04x", wire::Le16(d + 2));
  }
  const bool superSpeed = descriptors.device.size() >= 4 && descriptors.device[3] >= 0x03;
  // Adding the device sends its "add" uevent, so the binary descriptors
  // attribute is written into the device's directory before: a program
  // that reacts at once finds it.
  gchar* sys = umockdev_testbed_get_sys_dir(testbed_);
  const std::string directory = std::string(sys) + "/devices/" + name;
  g_free(sys);
  g_mkdir_with_parents(directory.c_str(), 0755);
  std::ofstream(directory + "/descriptors", std::ios::binary)
      .write(reinterpret_cast<const char*>(all.data()), static_cast<std::streamsize>(all.size()));
  gchar* sysfs = umockdev_testbed_add_device(testbed_, "usb", name.c_str(), nullptr,
                                             // attributes
                                             "busnum", busText, "devnum", addressText, "dev", major,
                                             "speed", superSpeed ? "5000" : "480",
                                             "bConfigurationValue", "1", "idVendor", vendor,
                                             "idProduct", product, "bcdDevice", bcd, nullptr,
                                             // properties
                                             "DEVNAME", node, "DEVTYPE", "usb_device", "BUSNUM",
                                             busPadded, "DEVNUM", addressPadded, nullptr);
  if (!sysfs) {
    connection.reset();
    device_.Unplug();
    return false;
  }
  g_free(sysfs);
  connection_ = std::move(connection);
  return true;
}

bool UsbfsBridge::Unplug() {
  if (!connection_) return false;
  umockdev_testbed_uevent(testbed_, connection_->SysfsPath().c_str(), "remove");
  connection_->Close();
  tally_.claims = 0;  // the device's claims go with it
  umockdev_testbed_remove_device(testbed_, connection_->SysfsPath().c_str());
  device_.Unplug();
  unplugged_.push_back(std::move(connection_));
  return true;
}

}  // namespace lumo::emulator
