#pragma once
// Layout of the ".xcd" simulation file shared by XCDFReader and XCDFWriter;
// the README describes it byte by byte. Nothing declared here leaves the
// library.

#include <cstddef>

namespace background::xcdf {

/// Record-stream protocol of every simulation file.
inline constexpr const char* protocol = "XCDF_SHOWERS";
/// Tag of a shower: one data record, the 72-byte Metadata image.
inline constexpr int shower_tag = 1;
/// Tag of a shower's PEs: a 4-byte count record, then the PEs in data records
/// of at most pes_per_record entries, so a reader's storage grows with the
/// bytes that arrive rather than with a count it cannot verify.
inline constexpr int pe_tag = 5;
inline constexpr std::size_t pes_per_record = 4096;
/// One stored PE: the channel as 32-bit signed, then the time as a 64-bit float, unpadded.
inline constexpr std::size_t pe_bytes = 12;
/// The most showers one file can hold: a shower's UID numbers its record in
/// the low 16 bits, the file's key taking the bits above.
inline constexpr unsigned long max_showers = 65535;
/// Tag of the end record: one 4-byte data record, the number of showers. Only
/// a writer that completed writes it, so a file without it was cut short.
inline constexpr int end_tag = 9;

}  // namespace background::xcdf
