// Out of memory at the host boundary: from each allocation of a call on, in
// turn, every one fails (a fragmented 32-bit host), with the trace on. Every
// entry point answers with an HRESULT; nothing is thrown into the host's frames.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>

#include "AddInObj/AddInObject.h"
#include "addin/fake_host.h"
#include "platform/environment.h"
#include "platform/registry.h"

namespace {
// Allocations of this thread left before memory runs out (every one after
// fails too); negative: none fails.
thread_local long t_allocations_left = -1;
thread_local bool t_failed = false;
}  // namespace

// GCC pairs the malloc inside these with the free inside those as it inlines
// them and takes them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
  if (t_allocations_left == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  if (t_allocations_left > 0) --t_allocations_left;
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
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("axg-oom-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  SetEnvironmentText(u"AX_GATE_REGISTRY", (dir / "registry").u16string());
  SetEnvironmentText(u"AX_GATE_TRACE", (dir / "trace.jsonl").u16string());
  FakeHost host;
  void* p = nullptr;
  ASSERT_EQ(CreateAddInObject(nullptr, IID_ILanguageExtender, &p), S_OK);
  auto* lang = static_cast<ILanguageExtender*>(p);
  auto* object = static_cast<AddInObject*>(lang);
  ASSERT_EQ(object->Init(&host), S_OK);
  ASSERT_NE(object->Trace(), nullptr);
  long failures = 0;
  for (long n = 0; n < 5000; ++n) {
    Params params({Variant(u" 10.0.0.7 "), Variant(u"0012"), Variant(u"TRUE")});
    Variant result, value;
    t_failed = false;
    t_allocations_left = n;
    const HRESULT gate = lang->CallAsFunc(3, result.get(), params.get());
    const HRESULT version = lang->CallAsFunc(0, result.get(), params.get());
    const HRESULT prop = lang->GetPropVal(0, value.get());
    t_allocations_left = -1;
    for (HRESULT hr : {gate, version, prop}) EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << n << " " << hr;
    if (!t_failed) break;  // every allocation of the calls has failed once
    ++failures;
  }
  EXPECT_GT(failures, 30);
  EXPECT_EQ(object->Done(), S_OK);
  lang->Release();
  EXPECT_EQ(host.refs, 1u);
  SetEnvironmentText(u"AX_GATE_TRACE", u"");
  SetEnvironmentText(u"AX_GATE_REGISTRY", u"");
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace axg::test
