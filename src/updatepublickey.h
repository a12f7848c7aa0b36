#pragma once
// The public key that product ini signatures are checked against: a DER
// PKCS #1 RSAPublicKey at the start of a zero-filled buffer. The whole buffer
// goes to the key import, which reads the leading DER structure only.
// Generated at build time from the file named by the CMake option
// VX_PUBLIC_KEY_FILE; by default the committed test key (keys/test-only/),
// whose private half is public, so release builds must set the option.

const unsigned long kUpdatePublicKeySize = 2048;

extern const unsigned char g_UpdatePublicKey[kUpdatePublicKeySize];
// The length of the DER key at its start.
extern const unsigned long g_UpdatePublicKeyLength;
// True for the committed test-only key.
extern const bool g_UpdatePublicKeyTestOnly;
