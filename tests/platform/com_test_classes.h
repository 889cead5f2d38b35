// The classes of ComServer.dll, the library the COM activation tests register.
#pragma once

#include "platform/com.h"

// Run succeeds.
inline constexpr CLSID CLSID_TestRunnable = {
    0x5A1E0001, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01}};
// Run fails with RUN_FAILURE.
inline constexpr CLSID CLSID_TestRunFails = {
    0x5A1E0002, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x02}};
// No IRunnableObject.
inline constexpr CLSID CLSID_TestPlain = {
    0x5A1E0003, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x03}};
// Registered in the tests, but not a class of the library.
inline constexpr CLSID CLSID_TestUnknownToLibrary = {
    0x5A1E0004, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x04}};

inline constexpr HRESULT RUN_FAILURE = static_cast<HRESULT>(0x800706BA);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE_TEST = static_cast<HRESULT>(0x80040111);
