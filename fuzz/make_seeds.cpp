// Writes the seed corpora of the fuzz targets: valid frames, records, INI
// texts and version blocks made by the program's own builders, and a few
// broken ones. Usage: vorel_fuzz_seeds <directory> (fuzz/corpus of the
// repository); the files are kept in the repository.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "p7/frame.h"
#include "p8/payloads.h"
#include "p8/record.h"
#include "p8/record_types.h"
#include "version/version_block_builder.h"
#include "station_frames.h"

namespace {

using namespace vorel;
namespace fs = std::filesystem;

fs::path g_root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes B(const p7::Frame& frame) { return Bytes(frame.begin(), frame.end()); }

// Station packets behind their control byte (bit 7: second port; low bits:
// length, 0 = a full 256-byte packet).
void AddPacket(Bytes& input, bool second, const Bytes& packet) {
  input.push_back(static_cast<std::uint8_t>((second ? 0x80 : 0) | (packet.size() == 256 ? 0 : packet.size())));
  Append(input, packet);
}

void StationSeeds() {
  const Bytes event = station::MainEventFrame("1234", "3A");
  const Bytes second = station::SecondPortFrame("A12A", 'F', '3');
  constexpr std::uint8_t kAllOn = 0x0F;

  Bytes one{kAllOn};
  AddPacket(one, false, event);
  AddPacket(one, false, station::KeepAliveFrame());
  AddPacket(one, true, second);
  Write("station_frames", "main_and_second", one);

  Bytes several{kAllOn};
  Bytes burst = event;
  Append(burst, station::MainEventFrame("12C4", "B1"));
  Append(burst, station::MainEventFrame("0001", "E1"));
  AddPacket(several, false, burst);
  Bytes seconds = second;
  Append(seconds, station::SecondPortFrame("0042", '0', 'a'));
  AddPacket(several, true, seconds);
  Write("station_frames", "bursts", several);

  // 256 bytes of frames whose cut splits the last one: its end comes next.
  Bytes full;
  while (full.size() + event.size() <= 256) Append(full, event);
  const std::size_t cut = 256 - full.size();
  full.insert(full.end(), event.begin(), event.begin() + static_cast<std::ptrdiff_t>(cut));
  Bytes carried{kAllOn};
  AddPacket(carried, false, full);
  AddPacket(carried, false, Bytes(event.begin() + static_cast<std::ptrdiff_t>(cut), event.end()));
  Write("station_frames", "cut_by_packet_size", carried);

  Bytes restart{0x01};
  AddPacket(restart, false, station::RestartFrame());
  AddPacket(restart, false, event);
  Write("station_frames", "restart", restart);

  Bytes broken{kAllOn};
  AddPacket(broken, false, B("\n011"));
  AddPacket(broken, false, B("12X4 3A00\r"));
  AddPacket(broken, true, B("001A12A F3000\r\n"));
  AddPacket(broken, false, B(std::string_view("\x00\xFF\x1A\r\n", 5)));
  Write("station_frames", "broken", broken);
}

void P7Seeds() {
  // No chunk sizes: the stream is fed whole.
  Bytes clock{0};
  Append(clock, B(p7::BuildSetClockFrame(46366.5)));
  Write("p7_reassembly", "clock", clock);

  Bytes cut{3, 200, 0, 100, 1, 1, 0};  // chunks of 200, 356 and 1
  Append(cut, B(p7::BuildCloseFrame()));
  Append(cut, B(p7::BuildSetClockFrame(46366.75)));
  Append(cut, B(p7::BuildHelloFrame()));
  Write("p7_reassembly", "three_frames_in_chunks", cut);

  Bytes outOfStep{1, 7, 0};
  Append(outOfStep, Bytes{0x00, 0x11});
  Append(outOfStep, B(p7::BuildCloseFrame()));
  Append(outOfStep, B(p7::BuildStationLostFrame(31)));
  Write("p7_reassembly", "out_of_step", outOfStep);

  p7::Frame badClock = p7::BuildSetClockFrame(0);
  PutLE<double>(badClock, p7::kPayloadOffset + p7::kDateTimeOffset, 1e300);
  Bytes bad{0};
  Append(bad, B(badClock));
  Write("p7_reassembly", "clock_out_of_range", bad);
}

Bytes Segment(const Bytes& bytes) {
  Bytes out{static_cast<std::uint8_t>(bytes.size())};
  Append(out, bytes);
  return out;
}

void P8Seeds() {
  auto answer = [](std::int32_t type, const Bytes& payload = {}) {
    return BuildFrame(BuildRecord(type, 7, payload));
  };
  Bytes handshake{0x01};
  for (std::int32_t type : {rtPoll, rtPoll, rtPoll, rtAccept, rtEventMainAck, rtPing, rtPoll})
    Append(handshake, Segment(answer(type)));
  Write("p8_answer", "handshake_accepted", handshake);

  Bytes split{0x00};
  const Bytes accept = answer(rtAccept, Bytes(10, 0x55));
  Append(split, Segment(Bytes(accept.begin(), accept.begin() + 30)));
  Append(split, Segment(Bytes(accept.begin() + 30, accept.end())));
  Append(split, Segment(answer(rtDisconnect)));
  Write("p8_answer", "answer_in_two_segments", split);

  Bytes closing{0x03};
  Bytes alt = answer(rtClose);
  alt[0] = kEnvelopeMarkerAlternative;
  Append(closing, Segment(answer(rtAccessDenied)));
  Append(closing, Segment(alt));
  Write("p8_answer", "close_and_deny", closing);

  Bytes huge{0x00};
  Append(huge, Segment(BuildEnvelopeHeader(0x7FFFFFFF)));
  Append(huge, Segment(BuildEnvelopeHeader(-1)));
  Append(huge, Segment(BuildEnvelopeHeader(0)));
  Append(huge, Segment(BuildEnvelopeHeader((1 << 20) + 1)));
  Write("p8_answer", "bad_body_lengths", huge);

  Bytes badRecord = BuildRecord(rtPing, 1, Bytes(4, 1));
  badRecord[17] = 0x00;
  Bytes broken{0x00};
  Append(broken, Segment(BuildFrame(badRecord)));
  Write("p8_answer", "bad_record_marker", broken);

  // A record alone, for the parsers.
  Write("p8_answer", "record_only", BuildRecord(rtEventMain, 3, Bytes(17, 0x31)));
}

void IniSeeds(const fs::path& sample) {
  std::ifstream in(sample, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Write("ini", "sample", B(text));
  Write("ini", "short",
        B("[port]\r\nComPort=COM3\r\n[main]\r\nFirstNumber=$1F\r\nAttention=0:05\r\nhost= server \r\n"
          "[ServerHost]\r\nAddress=10.0.0.1\r\nPort=0x3100\r\n"));
  // The file, then NUL-ended section, key and value of one write.
  const std::string nul(1, '\0');
  Write("ini", "write_comport",
        B("[port]\nComPort=COM1\n[main]\nLog=0\n" + nul + "port" + nul + "ComPort" + nul + "COM7" + nul));
  Write("ini", "write_new_section", B("; empty\n" + nul + "portUSB" + nul + "DTR" + nul + "1" + nul));
  Write("ini", "broken",
        B("\xEF\xBB\xBF[main\nAttention=25:61\nFirstNumber=99999999999\n[MAIN]\nLog=-$\n=x\n[port]]\n"
          "ComPort=\xC0\xC1\n"));
}

void VersionSeeds() {
  VersionBlockContents contents;
  contents.fileVersion = {1, 0, 0, 1};
  contents.productVersion = {1, 0, 0, 1};
  contents.translations = {0x04E30419};
  contents.strings = {{"FileVersion", "1.0.0.1"}, {"ProductName", "VOREL"}};
  const Bytes block = BuildVersionBlock(contents);
  // The first byte also sets how much padding stands before the block.
  Bytes full{0x00};
  Append(full, block);
  Write("version_block", "full", full);

  VersionBlockContents bare;
  bare.fileVersion = {8, 1, 3, 142};
  Bytes fixedOnly{0x40, 0x11, 0x22};
  Append(fixedOnly, BuildVersionBlock(bare));
  Write("version_block", "fixed_only", fixedOnly);

  VersionBlockContents other = contents;
  other.translations = {0x04B00409, 0x04E30419};
  other.stringTableKey = "040904B0";
  Bytes two{0xC8};
  Append(two, BuildVersionBlock(other));
  Write("version_block", "two_translations", two);

  Bytes truncated{0x3F};
  Append(truncated, Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(block.size() / 2)));
  Write("version_block", "truncated", truncated);

  Bytes overlong{0x00};
  Append(overlong, block);
  PutLE<std::uint16_t>(overlong, 1, static_cast<std::uint16_t>(block.size() + 100));
  Write("version_block", "length_past_the_end", overlong);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <corpus directory> <sample vorel.ini>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  StationSeeds();
  P7Seeds();
  P8Seeds();
  IniSeeds(argv[2]);
  VersionSeeds();
  return 0;
}
