// BufReader over a real file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "buf_reader.hpp"

namespace vorn {
namespace {

std::string temp_file(const std::string& bytes) {
  char name[] = "/tmp/vorn-test-XXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  close(fd);
  return name;
}

TEST(BufReaderFileTest, IntegersAreLittleEndian) {
  std::string path = temp_file(std::string("\x01\x00\x00\x00\x00\x01\x00\x00\xff\xff\xff\xff", 12));
  auto file = open_file(path.c_str());
  ASSERT_TRUE(file.ok());
  BufReader in(std::move(file).value());
  EXPECT_EQ(in.read_u32().value(), 1u);
  EXPECT_EQ(in.read_u32().value(), 256u);
  EXPECT_EQ(in.read_i32().value(), -1);
  Result<std::uint32_t> end = in.read_u32();
  ASSERT_FALSE(end.ok());
  EXPECT_TRUE(end.error().is_eof());
  EXPECT_EQ(end.error().message(), "failed to fill whole buffer");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vorn
