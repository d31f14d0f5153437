// file: open streams with their names, read and written as bytes or lines.
#include "file_internal.h"

#include <oozaf/buffer.h>
#include <oozaf/file.h>
#include <oozaf/throwable.h>

#include <cerrno>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace oozaf {

namespace {
const char* const kTag = "file";
} // namespace

CZAFFile::CZAFFile(FILE* stream, const std::string& fileName)
    : m_stream(stream), m_fileName(fileName) {
    ZAF_ASSERT_TAG(kTag, stream != nullptr);
}

CZAFFile::~CZAFFile() {
    // A failing close cannot be reported from a destructor; callers that must know call close()
    // or sync() first.
    if (m_stream != nullptr)
        fclose(m_stream);
}

void CZAFFile::close() {
    FILE* stream = getStream();
    m_stream = nullptr;
    // fclose flushes what is still buffered: the last write of a file can fail only here.
    if (fclose(stream) != 0)
        gThrowWithErrno<CZAFFileWriteException>(m_fileName);
}

FILE* CZAFFile::getStream() const {
    ZAF_ASSERT_TAG(kTag, m_stream != nullptr);
    return m_stream;
}

void CZAFFile::rewind() {
    if (fseeko(getStream(), 0, SEEK_SET) != 0)
        gThrowWithErrno<CZAFFileSeekException>(m_fileName);
}

uint64_t CZAFFile::getSize() {
    struct stat info {};
    if (fstat(fileno(getStream()), &info) != 0)
        gThrowWithErrno<CZAFFileAccessException>(m_fileName);
    return static_cast<uint64_t>(info.st_size);
}

unsigned int CZAFFile::read(std::string& out, unsigned int count) {
    ZAF_ASSERT_TAG("include/oozaf/buffer", count != 0);
    CZAFBuffer<char> buffer(count);
    const std::size_t got = fread(buffer.get(), 1, count, getStream());
    if (ferror(getStream()))
        gThrowWithErrno<CZAFFileReadException>(m_fileName);
    out.assign(buffer.get(), got);
    return static_cast<unsigned int>(got);
}

void CZAFFile::write(const std::string& text) {
    if (!text.empty())
        fwrite(text.data(), 1, text.size(), getStream());
    if (ferror(getStream()))
        gThrowWithErrno<CZAFFileWriteException>(m_fileName);
}

void CZAFFile::readWholeFile(std::string& out) {
    rewind();
    const uint64_t size = getSize();
    ZAF_ASSERT_TAG(kTag, size <= std::numeric_limits<unsigned int>::max());
    read(out, static_cast<unsigned int>(size));
}

void CZAFFile::sync() {
    if (fflush(getStream()) != 0 || fsync(fileno(getStream())) != 0)
        gThrowWithErrno<CZAFFileWriteException>(m_fileName);
}

bool CZAFTextFile::readLine(std::string& line) {
    return readLine(line, std::numeric_limits<std::size_t>::max());
}

bool CZAFTextFile::readLine(std::string& line, std::size_t maxLength) {
    line.clear();
    FILE* stream = getStream();
    // The object is used by one thread at a time, so the per-character stream lock of getc buys
    // nothing; configuration files are read a character at a time.
    for (;;) {
        const int c = getc_unlocked(stream);
        if (c == EOF) {
            if (ferror(stream))
                gThrowWithErrno<CZAFFileReadException>(getFilename());
            return !line.empty();
        }
        if (c == '\n')
            return true;
        if (line.size() >= maxLength)
            throw new CZAFFileReadException(getFilename(), EFBIG);
        line.push_back(static_cast<char>(c));
    }
}

void CZAFTextFile::writeLine(const std::string& line) { write(line + "\n"); }

} // namespace oozaf
