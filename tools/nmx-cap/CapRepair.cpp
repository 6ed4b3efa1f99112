#include <algorithm>
#include <vector>

#include "frames/CapFrameReader.h"
#include "frames/CapRecordScanner.h"
#include "frames/CapWriter.h"
#include "frames/FileSink.h"
#include "frames/TextFormat.h"
#include "nmx-cap/CapReport.h"
#include "nmx-cap/NmxCap.h"

namespace {

constexpr uint64_t kMaxFileEnd = 0xFFFFFFFFull;

// Copies from byte for byte into sink and closes it. False with *err set when a read or a
// write failed (then Failed() tells the sink's failure).
bool CopyBytes(const CCapFile& from, CFileSink& sink, std::string* err) {
  std::vector<BYTE> chunk(
      static_cast<size_t>(std::min<uint64_t>(CCapReadWindow::kWindow, from.Size())));
  for (uint64_t off = 0; off < from.Size();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), from.Size() - off));
    if (!from.ReadAt(off, chunk.data(), n, err)) {
      *err = from.Path() + ": " + *err;
      return false;
    }
    if (!sink.Write(chunk.data(), n)) break;
    off += n;
  }
  if (sink.Close()) return true;
  *err = sink.Error();
  return false;
}

// The copy of the file to repair, kept before it is changed; to must not exist yet. A copy
// cut short is removed: it was made here, and the original is still as it was.
bool SaveBackup(const CCapFile& from, const std::string& to, std::string* err) {
  CFileSink sink;
  if (!sink.CreateNew(to)) {
    *err = sink.Error();
    return false;
  }
  if (CopyBytes(from, sink, err)) return true;
  sink.Remove();
  return false;
}

// A byte-for-byte copy of a valid capture. A copy cut short by its output, or written into
// a file that was there before, keeps the frames that reached it whole (*kept says so).
bool CopyCapture(const CCapFile& from, const std::string& to, const SYSTEMTIME& headerTime,
                 std::string* err, std::string* kept) {
  CFileSink sink;
  if (!sink.Create(to, CFileSink::Writes::kRewriting)) {
    *err = sink.Error();
    return false;
  }
  if (CopyBytes(from, sink, err)) return true;
  if (!sink.Failed() && sink.Created()) {
    sink.Remove();
    return false;
  }
  if (!sink.IsFile()) return false;
  CCapFrameReader reader(from);
  CapProblem problem;
  CapFrame frame;
  std::vector<DWORD> starts;
  bool walked = reader.Open(&problem);
  CCapFrameReader::Step step = CCapFrameReader::Step::kProblem;
  while (walked && (step = reader.Next(&frame, &problem)) == CCapFrameReader::Step::kFrame)
    starts.push_back(frame.nOffset);
  sink.Flush();
  sink.ClearFailure();
  size_t frames = 0;
  if (step == CCapFrameReader::Step::kEnd &&
      CCapWriter::Mend(sink, headerTime, starts, reader.Header().frameTableOffset, &frames))
    *kept = KeptFramesText(to, frames);
  else
    *kept = to + " could not be made a valid capture" +
            (sink.Error().empty() ? "" : ": " + sink.Error());
  return false;
}

// An append moves the table up, writes the new entries behind it and the records into the
// gap, and rewrites the header last. The space it claims is zeroed first, so until the
// records arrive the gap holds only the old table and zeros, neither of which passes as a
// record. Cut off after its records, the append leaves the new table right behind them, and
// behind the table whatever the file held before: in a ring file emptied for reuse, the
// records of its previous lap. A table of two entries covers only the time stamp of the
// record the walk expects there (of three, also its FrameLength), so where an old record
// starts at that place it passes as a frame, and the walk would go on through the previous
// lap. The first two entries, 128 and the offset of frame 1, read as a time stamp make a
// time before 1970 unless frame 0 is larger than 27 MB: no captured frame is taken for them.
bool StartsTable(const CapFrame& frame, const std::vector<DWORD>& entries) {
  return entries.size() >= 2 && static_cast<uint64_t>(frame.nTimeStamp) ==
                                    (uint64_t{entries[1]} << 32 | vxcap::kHeaderSize);
}

// Puts a table for the records [128, recordsEnd) behind them and the header in front, then
// cuts the file behind the table. The header is written after the table, so a crash in
// between leaves the old header, which the backup also holds.
bool RewriteInPlace(const std::string& file, const SYSTEMTIME& headerTime, DWORD recordsEnd,
                    const std::vector<DWORD>& entries, std::string* err) {
  CFileSink sink;
  bool ok = sink.OpenExisting(file) && sink.Seek(recordsEnd);
  BYTE buf[4096];
  size_t fill = 0;
  for (size_t i = 0; ok && i < entries.size(); ++i) {
    vxcap::EncodeTableEntry(buf + fill, entries[i]);
    fill += vxcap::kTableEntrySize;
    if (fill == sizeof buf) {
      ok = sink.Write(buf, fill);
      fill = 0;
    }
  }
  const DWORD cbTable = static_cast<DWORD>(entries.size() * vxcap::kTableEntrySize);
  BYTE header[vxcap::kHeaderSize];
  vxcap::EncodeHeader(header, headerTime, recordsEnd, cbTable);
  ok = ok && sink.Write(buf, fill) && sink.WriteAt(0, header, sizeof header) &&
       sink.Truncate(uint64_t{recordsEnd} + cbTable) && sink.Close();
  if (!ok) *err = sink.Error();
  return ok;
}

}  // namespace

int CapRepair(const std::string& file, const std::string& outFile, std::ostream& out,
              std::ostream& err) {
  CCapFile f;
  std::string e;
  if (!f.Open(file, &e)) return ReportError(err, file + ": " + e, kCapExitTrouble);
  const bool inPlace = outFile.empty();
  if (!inPlace && f.IsSameFileAs(outFile))
    return ReportError(
        err, outFile + ": is the file being repaired (leave out -o to repair it in place)",
        kCapExitTrouble);

  // Only a file that starts as a capture is taken: an interrupted append never touches the
  // first bytes, and anything else is not ours to rewrite.
  BYTE raw[vxcap::kHeaderSize];
  vxcap::HeaderInfo header{};
  if (f.Size() < vxcap::kHeaderSize)
    return ReportError(err,
                       file + ": not a capture file: " + std::to_string(f.Size()) +
                           " bytes, shorter than a header",
                       kCapExitInvalid);
  if (!f.ReadAt(0, raw, sizeof raw, &e)) return ReportError(err, file + ": " + e, kCapExitTrouble);
  const vxcap::HeaderStatus hs = vxcap::DecodeHeader(raw, sizeof raw, &header);
  if (hs != vxcap::HeaderStatus::kOk)
    return ReportError(err, file + ": not a capture file: " + vxcap::HeaderStatusText(hs),
                       kCapExitInvalid);

  // The bytes behind a valid file's table are not frames of the capture: in a ring file
  // emptied for reuse they are the records of its previous lap, which the capture gave up
  // and reported as overflow, and a walk from the first record would bring them back.
  {
    CCapFrameReader reader(f);
    CapProblem problem;
    if (CheckCapture(reader, &problem)) {
      std::string kept;
      if (!inPlace && !CopyCapture(f, outFile, header.timeStamp, &e, &kept))
        return ReportKept(err, kept, ReportError(err, e, kCapExitTrouble));
      out << file << ": " << ValidCaptureText(reader, f.Size()) << "\n  nothing to repair: "
          << (inPlace ? "the file is left as it is" : outFile + " is an exact copy of it") << "\n";
      return kCapExitOk;
    }
    if (problem.bUnreadable) return ReportProblem(err, file, problem);
  }

  CCapWriter w;
  if (!inPlace && !w.Create(outFile, header.timeStamp))
    return ReportError(err, w.Error(), kCapExitTrouble);
  auto write = [&w](const BYTE* p, size_t n) { return w.Write(p, n); };

  CCapRecordScanner scan(f, std::min<uint64_t>(f.Size(), kMaxFileEnd), "the end of the file");
  std::vector<DWORD> entries;
  DWORD recordsEnd = vxcap::kHeaderSize;
  CapFrame frame;
  CapProblem stop;
  std::string why;
  for (;;) {
    const CCapRecordScanner::Step step = scan.Next(&frame, &stop);
    if (step == CCapRecordScanner::Step::kEnd) {
      why = "the records reach the end of the file";
      break;
    }
    if (step == CCapRecordScanner::Step::kProblem) {
      if (stop.bUnreadable) {
        const std::string kept = inPlace ? "" : w.Abandon();
        return ReportKept(err, kept, ReportProblem(err, file, stop));
      }
      why = stop.Text();
      break;
    }
    if (StartsTable(frame, entries)) {
      why = "frame " + std::to_string(frame.nIndex) + " at offset " +
            std::to_string(frame.nOffset) +
            ": the frame table of the frames before it starts here, not a frame";
      break;
    }
    const uint64_t tableEnd =
        uint64_t{frame.nOffset} + frame.cbRecord + (entries.size() + 1) * vxcap::kTableEntrySize;
    if (tableEnd > kMaxFileEnd) {
      why = "frame " + std::to_string(frame.nIndex) +
            ": its table entry would pass the 4 GiB a capture file can address";
      break;
    }
    if (!inPlace) {
      CapProblem readProblem;
      if (!w.BeginRecord(frame.cbRecord) || !ForEachRecordPiece(f, frame, 0, write, &readProblem)) {
        const std::string kept = w.Abandon();
        if (!readProblem.strWhat.empty())
          return ReportKept(err, kept, ReportProblem(err, file, readProblem));
        return ReportKept(err, kept, ReportError(err, w.Error(), kCapExitTrouble));
      }
    }
    entries.push_back(frame.nOffset);
    recordsEnd = frame.nOffset + frame.cbRecord;
  }

  const std::string backup = file + "~";
  if (inPlace) {
    if (!SaveBackup(f, backup, &e))
      return ReportError(err, e + " (the file was not changed)", kCapExitTrouble);
    if (!RewriteInPlace(file, header.timeStamp, recordsEnd, entries, &e))
      return ReportError(err, e + " (the original is in " + backup + ")", kCapExitTrouble);
  } else if (!w.Finish()) {
    const std::string kept = w.Abandon();
    return ReportKept(err, kept, ReportError(err, w.Error(), kCapExitTrouble));
  }
  out << (inPlace ? file : outFile) << ": kept " << entries.size() << " frames ("
      << recordsEnd - vxcap::kHeaderSize << " bytes of records), discarded "
      << f.Size() - recordsEnd << " bytes behind them\n"
      << "  the header described " << vxcap::FrameCount(header)
      << " frames; the walk stopped: " << why << "\n";
  if (inPlace) out << "  the original is kept as " << backup << "\n";
  return kCapExitOk;
}
