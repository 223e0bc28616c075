// What the run's own token says about who runs it: whether a user raised
// it from their everyday token, whether it is the system itself, and how
// high its integrity is. Every unelevated process of the user can write
// the user's folders and per-user registry values, so a run raised above
// them must not take its folder or its programs from there on trust.
#pragma once

#include <windows.h>

struct RunToken {
  // Read whole. A token that could not be read counts as raised: what
  // cannot be told cannot be trusted either.
  bool known;
  // The full half of a split token (TokenElevationTypeFull): a user's
  // "Run as administrator", whose unelevated half runs everything else
  // the user starts.
  bool split_elevated;
  // LocalSystem (S-1-5-18): a service or a deployment tool.
  bool local_system;
  // A mandatory integrity level of high or above, so that the run may
  // label what it makes high as well.
  bool high_integrity;
};

// The token of an ordinary unelevated run: nothing raised.
RunToken PlainRunToken();

// The process's own token.
RunToken ReadRunToken();

// Whether processes that run with less than this run's rights can write
// where the user keeps things (the installer's folder, HKEY_CURRENT_USER):
// a split token's elevated half, LocalSystem, or a token that cannot be
// told.
bool RunsAboveTheUser(const RunToken& token);
