// A FIFO in place of a file: opening it never waits for a writer, and the
// template is not read from one.
#include <sys/stat.h>

#include <string>

#include "core/config_generation.h"
#include "platform/file_channels.h"
#include "tests/unit/test_directory.h"

namespace {

TEST(FileChannelsFifo, AFifoWithoutWriterOpensAtOnceAndIsNoTemplate) {
  TestDirectory directory;
  const std::string fifo = directory.Name("trennwick_template.txt");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  InitChannelTable();
  // Without O_NONBLOCK at the open these would block until someone writes.
  ASSERT_NE(OpenChannelForReading(1, fifo), 0);
  EXPECT_FALSE(ChannelOnRegularFile(1));
  CloseChannel(1);
  ASSERT_NE(CreateChannel(2, fifo), 0);
  EXPECT_FALSE(ChannelOnRegularFile(2));
  CloseAllChannels();

  EXPECT_EQ(GenerateConfig(fifo, "/cd.iso"), std::nullopt);
}

}  // namespace
