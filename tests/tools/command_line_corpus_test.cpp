// The command-line fuzz corpus: the service's lines parse or not as their names say, and the tools'
// numbers in them read back as written.
#include <gtest/gtest.h>

#include "command_line.h"
#include "support/corpus_replay.h"

TEST(CommandLineCorpus, EveryInputKeepsItsVerdict) {
    EXPECT_GE(krelltest::ReplayCorpus(KRELL_COMMAND_LINE_CORPUS_DIR, krellfuzz::FeedCommandLine), 4u);
}
