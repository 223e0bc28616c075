#include "run_token.h"

namespace {

constexpr DWORD kHighIntegrityRid = 0x3000;  // SECURITY_MANDATORY_HIGH_RID
constexpr DWORD kLocalSystemRid = 18;        // SECURITY_LOCAL_SYSTEM_RID
// Room for a TOKEN_USER or TOKEN_MANDATORY_LABEL with its SID (a SID has
// at most 15 sub-authorities: 68 bytes).
constexpr DWORD kTokenBlockBytes = 128;

// The last sub-authority of sid, which for an integrity label is its level.
DWORD LastSubAuthority(const SID* sid) {
  if (sid->SubAuthorityCount == 0) return 0;
  return sid->SubAuthority[sid->SubAuthorityCount - 1];
}

bool IsLocalSystem(const SID* sid) {
  static const BYTE kNtAuthority[6] = {0, 0, 0, 0, 0, 5};
  if (sid->Revision != SID_REVISION || sid->SubAuthorityCount != 1) {
    return false;
  }
  for (size_t i = 0; i < 6; ++i) {
    if (sid->IdentifierAuthority.Value[i] != kNtAuthority[i]) return false;
  }
  return sid->SubAuthority[0] == kLocalSystemRid;
}

bool ReadBlock(HANDLE token, TOKEN_INFORMATION_CLASS what,
               unsigned char (&block)[kTokenBlockBytes]) {
  DWORD size = 0;
  return GetTokenInformation(token, what, block, kTokenBlockBytes, &size) !=
         FALSE;
}

}  // namespace

RunToken PlainRunToken() {
  RunToken token;
  token.known = true;
  token.split_elevated = false;
  token.local_system = false;
  token.high_integrity = false;
  return token;
}

RunToken ReadRunToken() {
  RunToken run = PlainRunToken();
  run.known = false;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return run;
  TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
  DWORD size = 0;
  alignas(8) unsigned char user[kTokenBlockBytes];
  alignas(8) unsigned char label[kTokenBlockBytes];
  run.known = GetTokenInformation(token, TokenElevationType, &elevation,
                                  sizeof elevation, &size) &&
              ReadBlock(token, TokenUser, user) &&
              ReadBlock(token, TokenIntegrityLevel, label);
  CloseHandle(token);
  if (!run.known) return run;
  run.split_elevated = elevation == TokenElevationTypeFull;
  run.local_system = IsLocalSystem(
      static_cast<const SID*>(reinterpret_cast<TOKEN_USER*>(user)->User.Sid));
  run.high_integrity =
      LastSubAuthority(static_cast<const SID*>(
          reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label)->Label.Sid)) >=
      kHighIntegrityRid;
  return run;
}

bool RunsAboveTheUser(const RunToken& token) {
  return !token.known || token.split_elevated || token.local_system;
}
