// The entry names of one directory, read without building a path or a
// directory entry object per name: the spool replays look through thousands
// of names on every 200 ms tick while a long outage drains.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vorel {

// Calls `visit` with the name of every entry of `directory` ("." and ".."
// left out), in no particular order. A directory that is missing or cannot
// be read has no entries. The name is valid during the call only.
void ForEachDirectoryName(const std::string& directory, const std::function<void(std::string_view)>& visit);

}  // namespace vorel
