// The simulated serial line: a pseudo-terminal whose master side the
// simulator plays, the slave side left for the driver, optionally published
// under a COM name (a symbolic link) for the driver's VOREL_COM_DIR.
#pragma once

#include <optional>
#include <string>

namespace vorel::station {

class StationLine {
 public:
  StationLine() = default;
  ~StationLine();
  StationLine(const StationLine&) = delete;
  StationLine& operator=(const StationLine&) = delete;

  // A fresh pseudo-terminal in raw mode; when `link` is not empty, the link
  // is made (or replaced) to point at it. false with `error` on failure.
  bool Open(const std::string& link, std::string& error);
  // Closes the master (the driver's side hangs up, as when an adapter is
  // unplugged) and removes the link if it still points at this line.
  void Close();

  bool IsOpen() const { return master_ >= 0; }
  int MasterFd() const { return master_; }  // non-blocking
  const std::string& SlavePath() const { return slavePath_; }
  const std::string& Link() const { return link_; }

  // Whether somebody holds the terminal exclusively (a flock, or the
  // terminal's exclusive mark), as the driver does while its port is open.
  // nullopt when the system cannot tell or the line is closed.
  std::optional<bool> HeldExclusively() const;

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the line does not hang up before the driver opens it
  std::string slavePath_;
  std::string link_;
};

}  // namespace vorel::station
