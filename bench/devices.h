#pragma once
// Simulated gate controllers for the benchmarks: raw TCP clients on the driving
// process's message loop, each bound to its own loopback source address
// (127.0.0.2 upwards) so that the add-in tells them apart, with device address
// "0001" upwards. They connect a few at a time (as a site's controllers come up) and
// count as connected once the server's greeting line has arrived.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/socket.h"

namespace axg::bench {

struct Device {
  int index = 0;
  std::string source;  // source address
  std::string id;      // device address, 4 digits
  SocketHandle s = kInvalidSocket;
  bool connected = false;
  bool greeted = false;
  bool closed = false;
  bool reading = true;  // watched for reading (otherwise drained by hand)
  std::string tx;       // bytes the socket did not take yet
  std::string scan;     // received bytes not yet looked at (frame search)
  std::uint64_t rx_bytes = 0;
  // Raised when a "GO" frame for this device arrives, with the arrival time.
  std::function<void(Device&, std::int64_t now_ns)> on_go;
  // Raised when an "ECHO" frame (the answer to a keep-alive) for it arrives.
  std::function<void(Device&, std::int64_t now_ns)> on_echo;
};

class DeviceSet {
 public:
  // Devices first_index upwards: their source and device addresses follow the index.
  DeviceSet(std::string server, std::uint16_t port, int count, int first_index = 0);
  ~DeviceSet();
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;

  // Connects every device; true when all were greeted within the time.
  bool ConnectAll(unsigned timeout_ms);
  // Starts up to n more connects and returns; the loop completes them. The
  // number started so far.
  int StartMore(int n);
  int Started() const { return next_; }
  int Greeted() const;
  // Connections the server's system completed (greeted or waiting to be accepted).
  int Established() const;
  void CloseAll();

  int Size() const { return static_cast<int>(devices_.size()); }
  Device& operator[](int i) { return *devices_[static_cast<std::size_t>(i)]; }

  // Writes bytes (what the socket does not take now goes out later, after what
  // is already waiting). False when the device is closed.
  bool Send(Device& d, const std::string& bytes);
  bool CanSend(const Device& d) const { return d.greeted && !d.closed && d.tx.empty(); }
  // Whether devices read as data arrives; when not, Drain reads by hand.
  void SetReading(bool on);
  void SetReading(Device& d, bool on);
  void Drain();
  int Closed() const;

 private:
  void StartOne(Device& d);
  void OnSocket(Device& d, unsigned event, int error);
  void ReadFrom(Device& d);
  void Watch(Device& d);

  std::string server_;
  std::uint16_t port_;
  MessageLoop& loop_;
  std::vector<std::unique_ptr<Device>> devices_;
  int next_ = 0;
  int pending_ = 0;  // connects not yet greeted
};

// "127.0.0.2" + index, as dotted text.
std::string SourceAddress(int index);
std::string DeviceId(int index);

}  // namespace axg::bench
