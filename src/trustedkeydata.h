#pragma once
// The Ed25519 public keys whose signatures of product inis the updater
// accepts, 32 bytes each. Generated at build time from the files named by the
// CMake list VX_TRUSTED_KEYS (cmake/VxEmbedTrustedKeys.cmake); by default the
// test-only key keys/test-only/ed25519-a.public, whose secret half is public.

extern const unsigned char g_TrustedKeys[][32];
extern const unsigned g_TrustedKeyCount;
// Per key: true for a committed test-only key.
extern const bool g_TrustedKeyTestOnly[];
