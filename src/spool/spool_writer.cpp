#include "spool/spool_writer.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace vorel {
namespace {

std::string Reason(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "spool file not written";
  }
}

}  // namespace

std::vector<SpoolWritten> WriteSpoolFiles(ISpoolDisk& disk, const std::vector<SpoolWrite>& writes) {
  std::vector<SpoolWritten> written = disk.PublishFiles(writes);
  written.resize(writes.size());
  for (SpoolWritten& w : written)
    if (!w.file && w.error.empty()) w.error = "spool file not written";
  std::vector<std::string> prefixes;  // of the files published, each once
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (written[i].file && std::find(prefixes.begin(), prefixes.end(), writes[i].prefix) == prefixes.end())
      prefixes.push_back(writes[i].prefix);
  }
  for (const std::string& prefix : prefixes) {
    std::string error;
    try {
      disk.FlushDirectory(prefix);
      continue;
    } catch (...) {
      error = Reason(std::current_exception());
    }
    // Without the flush a name may not outlive a power cut: no ACK for these
    // events then. Their files stay; the replay sends them, a repeat at most.
    for (std::size_t i = 0; i < writes.size(); ++i) {
      if (writes[i].prefix != prefix || !written[i].file) continue;
      written[i].error = error;
      written[i].file.reset();
    }
  }
  return written;
}

void InlineSpoolWriter::Write(std::vector<SpoolWrite> writes, SpoolWriteDone done) {
  std::vector<SpoolWritten> written = WriteSpoolFiles(disk_, writes);
  if (done) done(std::move(written));
}

void InlineSpoolWriter::Remove(std::string path, SpoolRemoveDone done) {
  const bool removed = disk_.RemoveFile(path);
  if (done) done(removed);
}

void InlineSpoolWriter::Read(std::function<void()> read, std::function<void()> done) {
  if (read) read();
  if (done) done();
}

}  // namespace vorel
