// Out of memory at the host boundary (a fragmented 32-bit host): from each
// allocation of a call on, in turn, every one fails, with the trace on. Every
// entry point answers with an HRESULT; nothing is thrown into the host's frames.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <new>

#include "AddInObj/AddInObject.h"
#include "addin/fake_host.h"
#include "platform/environment.h"

namespace {
thread_local long t_left = -1;  // allocations of this thread before memory runs out; -1: never
thread_local bool t_ran_out = false;
}  // namespace

// GCC pairs the malloc and free below as it inlines them and takes them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (t_left == 0 && (t_ran_out = true)) throw std::bad_alloc();
  if (t_left > 0) --t_left;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace axg::test {
namespace {

TEST(AddInOutOfMemory, EveryFailedAllocationOfACallEndsInAnHResult) {
  const auto file = std::filesystem::temp_directory_path() / "axg-oom-trace.jsonl";
  SetEnvironmentText(u"AX_GATE_TRACE", file.u16string());
  FakeHost host;
  void* p = nullptr;
  ASSERT_EQ(CreateAddInObject(nullptr, IID_ILanguageExtender, &p), S_OK);
  auto* object = static_cast<AddInObject*>(static_cast<ILanguageExtender*>(p));
  ASSERT_EQ(object->Init(&host), S_OK);
  ASSERT_NE(object->Trace(), nullptr);
  long n = 0;
  for (t_ran_out = true; t_ran_out && n < 5000; ++n) {
    Params params({Variant(u" 10.0.0.7 "), Variant(u"0012"), Variant(u"TRUE")});
    Variant result, value;
    t_ran_out = false;
    t_left = n;
    const HRESULT hrs[] = {object->CallAsFunc(3, result.get(), params.get()),
                           object->CallAsFunc(0, result.get(), params.get()), object->GetPropVal(0, value.get())};
    t_left = -1;
    for (HRESULT hr : hrs) EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << n << " " << hr;
  }
  EXPECT_GT(n, 30);
  EXPECT_EQ(object->Done(), S_OK);
  object->Release();
  EXPECT_EQ(host.refs, 1u);
  SetEnvironmentText(u"AX_GATE_TRACE", u"");
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace axg::test
