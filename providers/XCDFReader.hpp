#pragma once

#include <background/core/Metadata.hpp>

#include <filesystem>
#include <memory>
#include <vector>

namespace background {

/// Sequential reader of one simulation file (".xcd": one shower per record,
/// then an end record; format in the README). Built without XCDF support,
/// every constructor and reading operation throws std::runtime_error. Damaged
/// or cut files throw std::ios_base::failure naming the file, and the reader
/// refuses everything after such a failure. A metadata record read must be
/// followed by its PE block, and a PE block read by the next shower or the
/// end record: a frame shifted by a byte inserted or lost shows there.
class XCDFReader {
public:
    /// One photo-electron of a record.
    struct PEData {
        int channel;
        double time; ///< s
    };

    /// An idle reader with no file.
    XCDFReader();
    /// Opens `file` before its first record. A part whose flag is false is
    /// not decoded and its getter throws; a reader without PE data still
    /// walks every PE block record by record and checks its shape.
    XCDFReader(std::filesystem::path file, bool with_metadata, bool with_pe_data);
    XCDFReader(XCDFReader&& other) noexcept;
    XCDFReader& operator=(XCDFReader&& other) noexcept;
    ~XCDFReader();

    /// Moves to the next record; false at the end record, which must count
    /// the showers read and end the file.
    bool next();
    /// The current record's shower, `uid` being the stored record number.
    Metadata get_metadata();
    /// The current record's PEs, in stored order.
    std::vector<PEData> get_pe_data();

    /// Files opened by all readers of the process so far.
    static unsigned long files_opened();

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
