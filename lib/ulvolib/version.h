// The version of kel-ulvo, shared by both programs.
#pragma once

// The version in the daemon's start line and in both programs' --version.
inline constexpr char ULVO_VERSION[] = "1.0.0-9.sles9";
