// The settings fuzz corpus: rows of a key's values as a damaged file may hold them, read or called
// corrupt as their names say.
#include <gtest/gtest.h>

#include "settings_values.h"
#include "support/corpus_replay.h"

TEST(SettingsValuesCorpus, EveryInputKeepsItsVerdict) {
    EXPECT_GE(krelltest::ReplayCorpus(KRELL_SETTINGS_VALUES_CORPUS_DIR, krellfuzz::FeedSettingsValues), 5u);
}
