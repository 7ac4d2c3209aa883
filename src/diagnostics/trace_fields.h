// The frame trace's line format, the one definition of it: the library's
// trace writes these names and the simulator's replay reads them back. Every
// line is `t=<µs> port=<name> dir=<direction>` followed by the direction's
// fields in the order listed with it; a quoted value (the failure's detail)
// comes last. Names and values only, so that a tool may include this header
// without reaching any other part of the library.
#pragma once

namespace qx318::trace_fields {

// Every line.
inline constexpr char kTime[] = "t";
inline constexpr char kPort[] = "port";
inline constexpr char kDirection[] = "dir";

// The directions.
inline constexpr char kOpen[] = "OPEN";     // baud
inline constexpr char kClose[] = "CLOSE";   // nothing more
inline constexpr char kRequest[] = "TX";    // bytes addr cmd len written
inline constexpr char kAnswer[] = "RX";     // bytes [dropped] skipped, then start or the frame's
inline constexpr char kFailure[] = "FAIL";  // code detail

inline constexpr char kBaud[] = "baud";
// The bytes in lower-case hex, "-" when there are none.
inline constexpr char kBytes[] = "bytes";
inline constexpr char kNoBytes[] = "-";
inline constexpr char kAddress[] = "addr";
inline constexpr char kCommand[] = "cmd";
inline constexpr char kLength[] = "len";
inline constexpr char kWritten[] = "written";
// Received bytes the trace could not keep (an image past its capture limit).
inline constexpr char kDropped[] = "dropped";
// The marker bytes before the start byte.
inline constexpr char kSkipped[] = "skipped";
// Present, as start=none, only when no start byte came.
inline constexpr char kStart[] = "start";
inline constexpr char kStartNone[] = "none";
// An image's size from its header (in place of len).
inline constexpr char kRows[] = "rows";
inline constexpr char kRowLength[] = "row_length";
// The CRC's verdict: good and bad say the whole frame arrived.
inline constexpr char kCrc[] = "crc";
inline constexpr char kCrcGood[] = "good";
inline constexpr char kCrcBad[] = "bad";
inline constexpr char kCrcIncomplete[] = "incomplete";
inline constexpr char kCode[] = "code";
inline constexpr char kDetail[] = "detail";

}  // namespace qx318::trace_fields
