// LIBS: axg_transport
// The serial packet framer: arbitrary chunks, split at a point the input chooses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "transport/TPacketFramer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t split = data[0] % (size);
  std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
  axg::TPacketFramer framer;
  framer.StartString = u"$";
  framer.StopString = u"\r";
  std::size_t delivered = 0;
  framer.OnPacket = [&](axg::TObject*, const std::u16string& p) {
    if (p.find(u'\r') != std::u16string::npos) __builtin_trap();  // the stop string ends a packet
    delivered += p.size();
  };
  framer.OnDiscard = [&](axg::TObject*, const std::u16string& d) { delivered += d.size(); };
  framer.HandleData(all.substr(0, split));
  framer.HandleData(all.substr(std::min(split, all.size())));
  if (framer.Buffer().size() >= 1024) __builtin_trap();
  if (delivered > all.size()) __builtin_trap();
  return 0;
}
