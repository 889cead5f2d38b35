// The preprocessor's own result codes (docs/srtc.md), beside the usual E_POINTER, E_NOINTERFACE,
// E_UNEXPECTED (call order) and E_OUTOFMEMORY.
#pragma once

#include "platform/types.h"

// LoadXMLObject: the text is not well-formed XML.
inline constexpr HRESULT KTRGEN_E_NOT_WELL_FORMED = static_cast<HRESULT>(0x80047201);
// ProcessRules: a well-formed document that cannot be compiled (GetLastErrorText says why).
inline constexpr HRESULT KTRGEN_E_BAD_DOCUMENT = static_cast<HRESULT>(0x80047202);
// GetSerializedRules: the buffer is smaller than the rules; the size needed is returned.
inline constexpr HRESULT KTRGEN_E_BUFFER_TOO_SMALL = static_cast<HRESULT>(0x8007007A);
