// "vorel --status [DIR | NAME]": prints the status file that the driver
// running in DIR keeps, and tells by its exit status whether that driver
// runs. Without an argument it reads the packaged service's state directory
// /var/lib/vorel; a NAME (no slash) is the instance vorel@NAME.service, whose
// directory is /var/lib/vorel/NAME.
#pragma once

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>

namespace vorel {

inline constexpr char kPackagedStateDirectory[] = "/var/lib/vorel";

// The directory of "--status ARGUMENT" (none: no argument). A path ("." and
// ".." too) is taken as it is; a bare name is an instance.
std::filesystem::path StatusDirectory(const char* argument);

// The exit statuses, as an init script's "status" gives them.
enum class StatusVerdict {
  Running = 0,  // the driver runs and wrote the file within kStatusStaleAfter
  Stale = 1,    // the file says running but was not written for longer: the driver hangs or was killed
  Stopped = 3,  // the driver ended and said so
  Missing = 4,  // no status file (the driver never ran here), or not one of the driver's
};

// The driver rewrites the file every 10 s; three missed rewrites make it stale.
inline constexpr std::chrono::seconds kStatusStaleAfter{30};

// The verdict on a status file's text written `age` ago. A file from the
// future (the clock was set back) is judged by the distance alike.
StatusVerdict JudgeStatus(const std::string& text, std::chrono::seconds age);

// Prints the file's text to `out`, a line saying what is wrong to `err`, and
// returns the verdict's exit status.
int RunStatusCommand(const std::filesystem::path& dir, std::ostream& out, std::ostream& err);

}  // namespace vorel
