// file: an open standard I/O stream with the name it was opened under, and its line-oriented
// text variant. File objects come from CZAFFileManager::open; the caller owns and deletes them.
#ifndef OOZAF_FILE_H
#define OOZAF_FILE_H

#include <oozaf/obj.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace oozaf {

// Owns an open stream; deleting the object closes it. Every I/O failure is thrown as a new
// CZAFFile*Exception naming the file, with the CZAFOSException of errno as its root. The object
// stays usable after a caught failure, but the stream's error flag stays set, so later writes
// report the error again. Used by one thread at a time.
class CZAFFile : public CZAFObj {
public:
    // Adopts `stream`, which must not be null.
    CZAFFile(FILE* stream, const std::string& fileName);
    ~CZAFFile() override;
    CZAFFile(const CZAFFile&) = delete;
    CZAFFile& operator=(const CZAFFile&) = delete;

    const std::string& getFilename() const { return m_fileName; }

    // Seeks to the start. Throws CZAFFileSeekException.
    void rewind();
    // The size in bytes of the open file. Throws CZAFFileAccessException.
    uint64_t getSize();
    // Reads up to `count` bytes (count 0 is an internal error) into `out`, which becomes exactly
    // the bytes read; returns their number (fewer than `count` at the end of the file).
    // Throws CZAFFileReadException.
    unsigned int read(std::string& out, unsigned int count);
    // Writes every byte of `text`, embedded zero bytes included. Nothing is flushed here.
    // Throws CZAFFileWriteException.
    void write(const std::string& text);
    // Reads the whole file from its start. The file must not be empty (the zero-count read is an
    // internal error) and its size must fit in 32 bits.
    void readWholeFile(std::string& out);
    // Pushes buffered data to the operating system and waits until it is on the disk, so that a
    // file about to replace another one is complete. Throws CZAFFileWriteException.
    void sync();
    // Flushes and closes the stream now, so that a failed last write or close is reported
    // (CZAFFileWriteException), which the destructor cannot do. The stream is closed even when
    // this throws; no other call may follow (an internal error).
    void close();

protected:
    FILE* getStream() const;

private:
    FILE* m_stream;
    std::string m_fileName;
};

// A file read and written line by line. Lines end with a line feed, which is not part of the
// line; a carriage return before it stays in the line.
class CZAFTextFile final : public CZAFFile {
public:
    CZAFTextFile(FILE* stream, const std::string& fileName) : CZAFFile(stream, fileName) {}

    // Reads the next line into `line` (cleared first). Returns true when a line feed ended it,
    // and at the end of the file true only if at least one character was read.
    // Throws CZAFFileReadException.
    bool readLine(std::string& line);
    // As readLine, but a line longer than `maxLength` characters is not read whole: it throws
    // CZAFFileReadException with the root "File too large" (EFBIG), so that outside files cannot
    // make the reader hold an unbounded line in memory.
    bool readLine(std::string& line, std::size_t maxLength);
    // Writes `line` and one line feed. Throws CZAFFileWriteException.
    void writeLine(const std::string& line);
};

} // namespace oozaf

#endif
