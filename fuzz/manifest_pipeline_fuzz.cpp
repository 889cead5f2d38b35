// libFuzzer target for the manifest pipeline after authentication: arbitrary file bytes deciphered,
// parsed and processed into a scratch store whose entries must keep their rules.
#include "manifest_pipeline.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    fuzzmanifest::RunPipeline(pData, cbData);
    return 0;
}
