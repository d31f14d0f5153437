// cfgfile: the reader and writer of configuration files, and the in-place update that keeps a
// person's comments and layout.
#ifndef OOZAF_CFGFILE_H
#define OOZAF_CFGFILE_H

#include <oozaf/cfgpart.h>
#include <oozaf/file.h>
#include <oozaf/obj.h>

#include <cstddef>
#include <string>
#include <vector>

namespace oozaf {

// Reads configuration files into a CVornServerCfgPart, writes a part out as a file, and updates
// a file in place.
//
// The format is line-oriented; a line ends with a line feed, and a carriage return just before
// it (a CRLF end) belongs to the line end. After its preparation (preProcessLine) each line is
// one of:
//   - empty: blank, only a comment, or a directive with "=" and nothing after it (ignored);
//   - a setting "Directive=value" (directive names ignore case and hyphens);
//   - a bare directive, read as "Directive=On";
//   - "ALIAS <code> <target>" (the word in any case; blank- or tab-separated);
//   - "Include <file>" or "source <file>" (any case; blank- or tab-separated), which reads that
//     file into the same part at this point. A relative name is relative to the working
//     directory.
// A "#" outside double quotes starts a comment; white space outside double quotes is dropped;
// a "=" inside double quotes belongs to the value; the double quotes on a line must pair up; one
// pair of enclosing quotes is removed from a stored value.
//
// The words of ALIAS and Include lines lose their quotes when the line is split; a word that
// holds white space or "=" is enclosed in quotes again when the line is normalised, so an alias
// code or target (or an included file name) containing "=" or blanks stays readable. ALIAS and
// Include written as one word with "=" ("ALIAS=-x:y") are refused (401, 402).
//
// Includes are bounded: a file that is already being read in the current chain of includes is
// refused, and so is an include nested more than kMaxIncludeDepth levels below the outermost
// file, and an included path that is a directory; each with reason 300 and the file's name as
// the exception's path. A single file may hold at most kMaxFileSize bytes in at most kMaxLines
// lines; a larger one fails as a read error ("File too large"). Files are opened so that the
// reader never waits: a device or FIFO at its end (/dev/null, a FIFO without a writer) reads as
// an empty file, and one that has no data yet fails as a read error (EAGAIN).
//
// Errors: a malformed line raises CZAFPropertiesParsingException (301 to 305, 401, 402, or the
// value reasons of CVornServerCfgPart) carrying the line number in the outermost file; file
// failures raise CZAFPropertiesIOException with the file exception as cause. The lines before a
// failing one stay applied to the part.
//
// The reader keeps the chain of files being read while it reads, so one object must not be used
// by two threads at once; separate objects are independent.
class CVornServerCfgFile : public CZAFObj {
public:
    static const unsigned int kMaxIncludeDepth = 16;
    static const std::size_t kMaxFileSize = 4 * 1024 * 1024;
    static const std::size_t kMaxLines = 262144;

    // With `followIncludes` false, Include/source lines are checked but not followed, so a file
    // reads as it stands (a console shows a user's own file that way).
    explicit CVornServerCfgFile(bool followIncludes = true);
    ~CVornServerCfgFile() override = default;
    CVornServerCfgFile(const CVornServerCfgFile&) = delete;
    CVornServerCfgFile& operator=(const CVornServerCfgFile&) = delete;

    void setFollowIncludes(bool followIncludes) { m_followIncludes = followIncludes; }
    bool isFollowingIncludes() const { return m_followIncludes; }

    // Reads the file at `path` into `part`. `flag` is handed on to nested reads unchanged.
    virtual void read(const std::string& path, CVornServerCfgPart& part, bool flag);
    // Reads every remaining line of an open file (not owned) into `part`. File failures pass out
    // as the file layer's exceptions.
    virtual void read(CZAFTextFile* file, CVornServerCfgPart& part, bool flag);
    // Applies the lines in order; a parse failure of line i (from 1) carries line number i.
    virtual void read(const std::vector<std::string>& lines, CVornServerCfgPart& part, bool flag);
    // Reads configuration text held in memory, split into lines at line feeds.
    void readText(const std::string& text, CVornServerCfgPart& part, bool flag);

    // Writes `part` to the file at `path`: appended after one empty line when `append` and the
    // file already holds data, otherwise replacing its content.
    virtual void write(const std::string& path, bool append, const CVornServerCfgPart& part);
    // Writes the part's aliases ("ALIAS <code> <target>", in code order), then its values
    // ("Directive=text", operations in ascending order, values in list order; enumerations by
    // name, booleans as yes/no). A text is enclosed in double quotes when it holds a blank, a tab
    // or "=", and also when it would otherwise not read back unchanged (a "#", other white space,
    // an empty text, a text enclosed in quotes). An empty Question is written as two double
    // quotes, which is how an empty question reads. A text that cannot be written so that it
    // reads back unchanged (a line feed, unpaired double quotes, an alias code holding ":")
    // raises CZAFPropertiesParsingException (306 when quotes are the cause, else 300) before
    // anything is written.
    virtual void write(CZAFTextFile* file, const CVornServerCfgPart& part);

    // Rewrites the file at `path` so that its own settings (its includes not followed) equal
    // `part`. Comments, blank lines, Include/source lines and unchanged settings stay where they
    // stand; a setting absent from `part` or changed by it gets one "#" in front; new and changed
    // values are appended as write() writes them. Texts are compared as written, ignoring case
    // except for string and key-ID settings. The remaining values are checked with ValValues
    // before anything is written.
    //
    // The new content goes to a temporary file in the same folder, which must read back into
    // exactly `part` (and, when this reader follows includes, read whole with its includes)
    // before it replaces the old file by a rename; the old file's permission bits are kept. So a
    // failed update leaves the old file as it was. A missing file is created. File failures raise
    // CZAFPropertiesIOException.
    virtual void update(const std::string& path, const CVornServerCfgPart& part);

    // Drops the carriage return of a CRLF end, trims the line, removes its comment, trims again,
    // normalises and checks it.
    virtual void preProcessLine(std::string& line);
    // Prepares a copy of the line and applies it to `part` (or follows an include).
    virtual void processLine(const std::string& line, CVornServerCfgPart& part, bool flag);
    // Rewrites ALIAS lines to "ALIAS=<code>:<target>", Include/source lines to "<word>=<file>"
    // and bare directives to "<directive>=On"; empties a line whose only "=" ends it; removes
    // white space outside quotes. Raises 401 / 402 for ALIAS / Include lines without exactly
    // three / two words.
    virtual void normalizeLine(std::string& line);
    // Checks a normalised line: exactly one "=" outside quotes (301, 302), not first (303) and
    // not last (304), and paired double quotes (305). An empty line passes.
    void checkLine(const std::string& line) const;

protected:
    // Puts the finished temporary file `temp` in the place of `target` (a rename within one
    // folder). Throws a CZAFFileException on failure.
    virtual void replaceFile(const std::string& temp, const std::string& target);

private:
    void readLines(CZAFTextFile* file, std::vector<std::string>& lines);
    void include(const std::string& path, CVornServerCfgPart& part, bool flag);

    bool m_followIncludes;
    std::vector<std::string> m_includeChain;
};

} // namespace oozaf

#endif
