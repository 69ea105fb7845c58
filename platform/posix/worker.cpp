#include "platform/worker.h"

#include <system_error>
#include <thread>

#include "platform/error.h"
#include "platform/text.h"

namespace axg {

// The Linux stand-in host never unloads a module while one of its threads runs.
void StartWorker(std::function<void()> fn) {
  try {
    std::thread([fn = std::move(fn)] {
      try {
        fn();
      } catch (...) {
      }
    }).detach();
  } catch (const std::system_error& e) {
    throw Error(u"Cannot start a thread: " + FromUtf8(e.what()));
  }
}

}  // namespace axg
