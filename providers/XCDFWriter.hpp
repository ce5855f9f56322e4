#pragma once

#include <background/core/Metadata.hpp>
#include <background/providers/XCDFReader.hpp>

#include <filesystem>
#include <memory>
#include <span>

namespace background {

/// Writes a simulation file (".xcd", format in the README) that XCDFReader
/// reads. Available whether or not the reader is built.
class XCDFWriter {
public:
    /// Creates or truncates `file`.
    explicit XCDFWriter(std::filesystem::path file);
    /// Closes the file if close() was not called, without its end record:
    /// readers refuse such a file as cut short.
    ~XCDFWriter();
    XCDFWriter(const XCDFWriter&) = delete;
    XCDFWriter& operator=(const XCDFWriter&) = delete;

    /// Appends one shower; its `uid` is stored as the record's 1-based
    /// number, which is returned. A file holds at most 65535 showers, the
    /// most a UID can number: a further append throws std::length_error
    /// before anything of it is written. Throws std::logic_error once closed.
    unsigned long append(Metadata metadata, std::span<const XCDFReader::PEData> pes);
    /// Writes the end record, sends everything to the disk and closes the
    /// file; throws the failure. The writer is closed afterwards even when it
    /// failed; closing it again does nothing.
    void close();

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
