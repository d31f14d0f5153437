// guiaudit: the transaction log lines of the listener's state-changing requests.
#include <vorngui/guiaudit.h>
#include <vorngui/xmlstring.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorngui {

using namespace xercesc;

namespace {

const CXStr kData("data");

// Attributes whose values are secrets: a password or passphrase, also as the last part of a
// hyphenated name ("new-passphrase").
bool isSecret(const std::string& name) {
    for (const char* secret : {"password", "passphrase"}) {
        const std::string word = secret;
        if (name == word)
            return true;
        if (name.size() > word.size() + 1 &&
            name.compare(name.size() - word.size(), word.size(), word) == 0 &&
            name[name.size() - word.size() - 1] == '-')
            return true;
    }
    return false;
}

// One field of a line: no TAB, line break or other control character, and no double quote (the
// reader takes one as the start of a quoted stretch that TABs do not end).
std::string field(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
        else if (c == '"')
            c = '\'';
    }
    return out;
}

void addAttributes(std::string& out, const DOMElement* element) {
    const DOMNamedNodeMap* attributes = element->getAttributes();
    if (attributes == nullptr)
        return;
    for (XMLSize_t i = 0; i < attributes->getLength(); ++i) {
        const DOMNode* attribute = attributes->item(i);
        const std::string name = gFromXML(attribute->getNodeName());
        const std::string value =
            isSecret(name) ? std::string("***") : gFromXML(attribute->getNodeValue());
        out += " " + name + "='" + value + "'";
    }
}

} // namespace

std::string gAuditCommandLine(const std::string& client, const std::string& type,
                              const DOMDocument* request) {
    std::string out = "orxgui from " + client + ": " + type;
    const DOMElement* root = request != nullptr ? request->getDocumentElement() : nullptr;
    DOMNodeList* list = root != nullptr ? root->getElementsByTagName(kData) : nullptr;
    if (list != nullptr && list->getLength() == 1 &&
        list->item(0)->getNodeType() == DOMNode::ELEMENT_NODE) {
        const auto* data = static_cast<const DOMElement*>(list->item(0));
        addAttributes(out, data);
        for (const DOMElement* child = data->getFirstElementChild();
             child != nullptr && out.size() <= kMaxAuditText;
             child = child->getNextElementSibling()) {
            out += " " + gFromXML(child->getTagName());
            addAttributes(out, child);
        }
    }
    if (out.size() > kMaxAuditText) {
        out.resize(kMaxAuditText - 3);
        out += "...";
    }
    return field(out);
}

std::string gFormatAuditLine(const SGUIAuditLine& line) {
    return field(line.start) + "\t" + field(line.end) + "\t" + field(line.username) + "\t" +
           field(line.operation) + "\t" + field(line.commandLine) + "\t" + std::to_string(line.rc) +
           "\n";
}

std::string gAppendAuditLine(const std::string& path, const SGUIAuditLine& line) {
    const std::string text = gFormatAuditLine(line);
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0)
        return std::strerror(errno);
    struct SClose {
        int fd;
        ~SClose() { ::close(fd); }
    } closeAtEnd{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::strerror(errno);
    if (!S_ISREG(info.st_mode))
        return "not a regular file";
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR)
            return std::strerror(errno);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // Never half a line: the next line must start on a line of its own.
            if (done > 0)
                static_cast<void>(!::write(fd, "\n", 1));
            return std::strerror(error);
        }
        done += static_cast<std::size_t>(n);
    }
    return std::string();
}

} // namespace vorngui
