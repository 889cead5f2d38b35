// The driver-input fuzz corpus: KC files and access lines the stand-in driver accepts or refuses as
// their names say.
#include <gtest/gtest.h>

#include "driver_input.h"
#include "support/corpus_replay.h"

TEST(DriverInputCorpus, EveryInputKeepsItsVerdict) {
    EXPECT_GE(krelltest::ReplayCorpus(KRELL_DRIVER_INPUT_CORPUS_DIR, krellfuzz::FeedDriverInput), 8u);
}
