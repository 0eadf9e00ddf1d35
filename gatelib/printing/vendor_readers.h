// Readers of the host-based printers' raster streams. Each walks the records of its stream by
// the lengths in their headers, counts a page at the record that ends (or starts) one, and
// stops with what it counted at the end of the data between records. A record it does not
// know, or a header cut short, makes Read return false: the job is not recognised.
#pragma once

#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

// QPDL, after a PJL header entered it: a page header (type 0: resolution, copies as 16-bit
// big-endian, then 13 bytes), bands (type 12: band, width, height, colour plane, compression,
// a 32-bit big-endian length of the data), the end of a page (type 1 and 2 bytes) and of the
// job (type 9). Where the driver sends only the planes a page inks (some page lacks one of
// the four), bands of the cyan, magenta or yellow plane (1 to 3) make a colour page and a page
// of black bands only (plane 4) a mono page; where every page carries all four planes they say
// nothing about its colour, which is left to the PJL header.
class QpdlReader : public StreamReader {
 public:
  bool Read(JobData& source) override;

 private:
  bool Walk();
  int colourStated_ = 0;
  int monoStated_ = 0;
  bool sparse_ = false;  // a page lacked one of the four planes
};

// XQX (after ",XQX"): 32-bit big-endian tags: 1 (job), 3 (page) and 5 (image) hold a count of
// items (a 32-bit id, a 32-bit length and that many bytes); 4 ends a page, 6 an image (each
// with 4 bytes); 7 is data of a 32-bit length; 2 ends the stream.
class XqxReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// HBP, after a PJL header entered it: commands of "@" and a letter. "G" is followed by a byte
// and a 16-bit big-endian length of data, "L" by a line end; "E", "M", "S" take 2 bytes, "J"
// 3, "N" none; "F" ends a page and "X" the stream.
class HbpReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// SPL (after "DMCS"): blocks of a 32-bit little-endian length and a type byte; type 1 is the
// job header (copies, pages per sheet), 3 a page, 4 the end. A block is followed by "DMCS" (the
// next block) or "TADS" and a 32-bit little-endian length of data. Pages are sheets: the pages
// divided by the pages per sheet, rounded up.
class SplReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// The Canon BJ byte stream (after ESC "[K"): a form feed is a page; escape commands are passed
// over by their letter (with a 16-bit little-endian length, a fixed size or up to a NUL).
class BjReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// ESC/P 2 (after ESC "@"): form feeds are pages; escape commands are passed over by their
// sizes, raster data by its dimensions (run-length encoded rows decoded to find their end);
// EJL lines after ESC 01 are passed over, remote-mode commands after ESC "(R" and "REMOTE1"
// too; an ESC/P-R job after ESC "(R" and "ESCPR" counts its page-end markers up to the end of
// the job.
class Escp2Reader : public StreamReader {
 public:
  bool Read(JobData& source) override;

 private:
  bool Remote();
  bool EscprJob();
  bool Raster(std::uint8_t bits, std::uint32_t rows, std::uint32_t dots, bool compressed);
};

// LIDIL (after "$"): records of a 16-bit big-endian length, a byte, a 16-bit big-endian type,
// 2 bytes and a 16-bit big-endian extra length, then the rest of the record and "$" before the
// next. Type 2 is a page.
class LidilReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// "GDI" entered from PJL with data beginning with ESC: every command begins with ESC; "&"
// commands run to the next capital letter ("&&" is a page), "*" commands end at a capital
// letter, and a "W" among them is followed by a 32-bit little-endian length and that many plus
// 12 bytes.
class EscapeGdiReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// The Sharp GDI stream: after its signature (81 81) 4 more bytes of header, then records of 2
// bytes, a 16-bit big-endian length and type, and that many bytes. Type 6 is a page. Entered
// from PJL ("GDI" and a first byte 81) there is no header to pass.
class SharpGdiReader : public StreamReader {
 public:
  explicit SharpGdiReader(bool header) : header_(header) {}
  bool Read(JobData& source) override;

 private:
  bool header_;
};

// The Konica Minolta 16-bit stream: a header of 63 + 1092 bytes, then pages each marked by a run
// of 511 and another of 510 pairs FF 05.
class MinoltaReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// The Canon imageRUNNER stream: 16-bit little-endian copies and 14 bytes, then records of a
// 16-bit little-endian type: type 1 carries copies and 14 bytes, the others a 16-bit
// little-endian length (with the 4-byte header). Type 4 is a page.
class CanonImageRunnerReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// ZIMF (after "ZIMF"): records of a 4-byte tag, a 32-bit little-endian length (with the
// 20-byte header), 8 bytes and a 32-bit little-endian type. Type 3 is a page. Type 1 holds a
// table of entries (a 32-bit little-endian id and length, then the entry) whose entries 10243
// and D2000001 (hex) are Windows device modes: the largest copy count of those that mark their
// copies present, and the pages per sheet in the driver's part (320 bytes past the public
// part), by which the pages are sheets at the end.
class ZimfReader : public StreamReader {
 public:
  bool Read(JobData& source) override;

 private:
  void DeviceMode(std::uint32_t size);
  int perSheet_ = 1;
};

// The Canon iR 2200 stream (after CD CA 10): a byte, then records of a 16-bit big-endian tag
// and a 32-bit big-endian length. Records 21 and 18 hold items (a 16-bit big-endian id and
// length, then the value, a big-endian number or further items): item 2007 of record 21 is the
// copy count, item 275 inside its item 107, and item 2004 inside item 17 of record 18, the page
// count of all copies. Raster records (26) are read for form feeds (pages, when no count was
// given) and ESC "[" digits "v" (copies, when below 512). A universal exit ends the stream.
class CanonIr2200Reader : public StreamReader {
 public:
  bool Read(JobData& source) override;

 private:
  // The items of `length` bytes at the position; `outer` is the record (or item) they are in.
  bool Items(std::int64_t length, std::uint16_t record, std::uint16_t outer, int depth);
  void Raster(std::int64_t length);
  long long stated_ = -1;  // the page count of an item, -1 when none was given
  int formFeeds_ = 0;
};

// RPCS, after a PJL header entered it: commands of one byte; a command below 80 (hex) is
// followed by a 16-bit big-endian length of its data, one of 80 or above by 2 bytes. Command
// 35 (hex) ends a page; ESC ends the stream (detection goes on there).
class RpcsReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

}  // namespace gatelib::printing
