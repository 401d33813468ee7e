// Replaces the global allocator of this test program so that an allocation of a chosen size fails the
// way it does when memory runs out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "runtime/text.h"

namespace {
// Allocations of this many bytes or more throw std::bad_alloc on the thread that set it.
thread_local std::size_t t_failFrom = std::numeric_limits<std::size_t>::max();
}  // namespace

void* operator new(std::size_t bytes) {
  if (bytes >= t_failFrom) throw std::bad_alloc();
  if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(OutOfMemoryDeathTest, SplitTextEndsWithTheBytesAskedFor) {
  const std::string longMember(100'000, 'x');
  std::string manyMembers;
  for (int i = 0; i < 40; ++i) manyMembers += "a,";
  const struct {
    const char* name;
    const std::string& text;
    std::size_t failFrom;
    std::size_t asked;
  } cases[] = {
      {"a long member", longMember, 50'000, longMember.size() + 1},
      // Short members need no heap of their own; the array's growth past 32 members does.
      {"growth of the array", manyMembers, 64 * sizeof(std::string), 64 * sizeof(std::string)},
  };
  for (const auto& c : cases) {
    const std::string expected = "运行时出错!\r\n\r\n错误信息：分配 " + std::to_string(c.asked) + " 字节内存失败!\r\n";
    EXPECT_EXIT(
        {
          t_failFrom = c.failFrom;
          SplitText(c.text);
          std::_Exit(1);
        },
        testing::ExitedWithCode(255), testing::Eq(expected))
        << c.name;
  }
}

}  // namespace
