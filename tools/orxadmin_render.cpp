// orxadmin_render: tables for keys, the transaction log, switches and the configuration.
#include "orxadmin_render.h"

#include <oozaf/util.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vornadmin {

namespace {

using Row = std::vector<std::string>;

// Writes rows with columns padded to their widest cell (the last column is not padded).
void writeTable(const std::vector<Row>& rows, std::ostream& out, const std::string& indent = "") {
    std::vector<size_t> widths;
    for (const Row& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.push_back(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    std::string line;
    for (const Row& row : rows) {
        line = indent;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line.append(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        line += '\n';
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
    }
}

std::string attr(const SXmlElement& element, const char* name) {
    return gPrintable(element.get(name));
}

std::string date(const SXmlElement& element, const char* name) {
    std::string value = attr(element, name);
    return value == "N/A" ? "never" : value;
}

bool yes(const SXmlElement& element, const char* name) { return element.get(name) == "yes"; }

// The long key ID where the listener sends it (short IDs collide cheaply), else the short one.
std::string longID(const SXmlElement& element) {
    return element.has("idfull") ? attr(element, "idfull") : attr(element, "id");
}

// The digits of a key ID or fingerprint text without "0x" and blanks, in upper case.
std::string digitsOf(const std::string& text) {
    std::string hex;
    oozaf::CZAFUtil::parseKeyIDOrFingerprint(text, hex);
    return hex;
}

std::string flags(const SXmlElement& key) {
    std::string out;
    auto add = [&](bool on, const char* word) {
        if (!on)
            return;
        if (!out.empty())
            out += ",";
        out += word;
    };
    add(yes(key, "secret"), "secret");
    add(yes(key, "revoked"), "revoked");
    add(yes(key, "expired"), "expired");
    add(yes(key, "disabled"), "disabled");
    add(yes(key, "hasphotoid"), "photo");
    return out.empty() ? "-" : out;
}

// The fingerprint in groups of four characters.
std::string grouped(const std::string& fingerprint) {
    std::string out;
    for (size_t i = 0; i < fingerprint.size(); i += 4) {
        if (!out.empty())
            out += ' ';
        out += fingerprint.substr(i, 4);
    }
    return out;
}

std::vector<const SXmlElement*> listed(const SXmlElement& parent, const char* container,
                                       const char* item) {
    const SXmlElement* list = parent.child(container);
    return list != nullptr ? list->childrenNamed(item) : std::vector<const SXmlElement*>();
}

SXmlElement attributesOf(const SXmlElement& element) {
    SXmlElement copy(element.name);
    copy.attributes = element.attributes;
    return copy;
}

} // namespace

std::string gPrintable(const std::string& text, bool multiline) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if ((c < 0x20 || c == 0x7F) && !(multiline && (c == '\n' || c == '\t'))) {
            char escaped[5];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void gRenderKey(const SKeyListing& listing, std::ostream& out) {
    const SXmlElement& key = listing.key;
    const std::string algorithm = key.has("version") ? attr(key, "version") : attr(key, "alg");
    writeTable(
        {{"Key ID", "Type", "Size", "Created", "Expires", "Validity", "Trust", "Flags"},
         {longID(key), algorithm, attr(key, "size"), date(key, "creation-time"),
          date(key, "expiration-time"), attr(key, "validity"), attr(key, "trust"), flags(key)}},
        out);
    std::vector<Row> details;
    if (key.has("fingerprint"))
        details.push_back({"Fingerprint:", grouped(attr(key, "fingerprint"))});
    for (const SKeyListing::SUserID& userID : listing.userIDs) {
        std::string text = attr(userID.element, "name");
        const std::string type = userID.element.get("type");
        if (!type.empty() && type != "User ID")
            text = "[" + gPrintable(type) + "]";
        if (yes(userID.element, "primary"))
            text += " (primary)";
        text += userID.signatures == 1 ? " - 1 signature"
                                       : " - " + std::to_string(userID.signatures) + " signatures";
        details.push_back({"User ID:", text});
    }
    for (const SXmlElement& subkey : listing.subkeys) {
        std::string text = longID(subkey) + "  " + attr(subkey, "size") + " bits  " +
                           date(subkey, "creation-time") + " to " + date(subkey, "expiration-time");
        if (yes(subkey, "revoked"))
            text += "  revoked";
        if (yes(subkey, "expired"))
            text += "  expired";
        details.push_back({"Subkey:", text});
    }
    for (const SXmlElement& revoker : listing.revokers)
        details.push_back({"Revoker:", attr(revoker, "id")});
    for (const SXmlElement& adk : listing.adks)
        details.push_back({"ADK:", attr(adk, "id")});
    writeTable(details, out, "  ");
}

void gRenderKeys(const SXmlElement& keys, std::ostream& out) {
    std::vector<const SXmlElement*> list = keys.childrenNamed("key");
    if (list.empty()) {
        out << "No keys.\n";
        return;
    }
    bool first = true;
    for (const SXmlElement* key : list) {
        if (!first)
            out << '\n';
        first = false;
        SKeyListing listing;
        listing.key.attributes = key->attributes;
        for (const SXmlElement* userID : listed(*key, "userids", "userid"))
            listing.userIDs.push_back(
                {attributesOf(*userID), listed(*userID, "signatures", "signature").size()});
        for (const SXmlElement* subkey : listed(*key, "subkeys", "subkey"))
            listing.subkeys.push_back(attributesOf(*subkey));
        for (const SXmlElement* revoker : listed(*key, "revokers", "revoker"))
            listing.revokers.push_back(attributesOf(*revoker));
        for (const SXmlElement* adk : listed(*key, "adks", "adk"))
            listing.adks.push_back(attributesOf(*adk));
        gRenderKey(listing, out);
    }
}

namespace {

// The attributes of the reader's current element, as an element without children.
SXmlElement attributesOf(const CXmlPullReader& reader) {
    SXmlElement element(reader.name());
    element.attributes.reserve(reader.attributeCount());
    for (size_t i = 0; i < reader.attributeCount(); ++i)
        element.attributes.push_back(reader.attribute(i));
    return element;
}

// Reads the rest of a "key" element (the reader stands after its start) into `listing`.
void readKey(CXmlPullReader& reader, SKeyListing& listing) {
    using eEvent = CXmlPullReader::eEvent;
    const unsigned int depth = reader.depth();
    listing.key = attributesOf(reader);
    bool seenUserIDs = false;
    bool seenSubkeys = false;
    bool seenRevokers = false;
    bool seenAdks = false;
    for (;;) {
        const eEvent event = reader.next();
        if (event == eEvent::eEnd && reader.depth() == depth)
            return;
        if (event != eEvent::eStart)
            continue;
        // A container: only the first of each kind is read, as the tree readers do.
        const std::string container = reader.name();
        bool* seen = container == "userids"    ? &seenUserIDs
                     : container == "subkeys"  ? &seenSubkeys
                     : container == "revokers" ? &seenRevokers
                     : container == "adks"     ? &seenAdks
                                               : nullptr;
        if (seen == nullptr || *seen) {
            reader.skipElement();
            continue;
        }
        *seen = true;
        const char* item = container == "userids"    ? "userid"
                           : container == "subkeys"  ? "subkey"
                           : container == "revokers" ? "revoker"
                                                     : "adk";
        for (;;) {
            const eEvent inner = reader.next();
            if (inner == eEvent::eEnd && reader.depth() == depth + 1)
                break;
            if (inner != eEvent::eStart)
                continue;
            if (reader.name() != item) {
                reader.skipElement();
                continue;
            }
            if (seen != &seenUserIDs) {
                SXmlElement element = attributesOf(reader);
                reader.skipElement();
                (seen == &seenSubkeys    ? listing.subkeys
                 : seen == &seenRevokers ? listing.revokers
                                         : listing.adks)
                    .push_back(std::move(element));
                continue;
            }
            listing.userIDs.push_back({attributesOf(reader), 0});
            size_t& signatures = listing.userIDs.back().signatures;
            bool seenSignatures = false;
            for (;;) {
                const eEvent part = reader.next();
                if (part == eEvent::eEnd && reader.depth() == depth + 2)
                    break;
                if (part != eEvent::eStart)
                    continue;
                if (reader.name() != "signatures" || seenSignatures) {
                    reader.skipElement();
                    continue;
                }
                seenSignatures = true;
                for (;;) {
                    const eEvent signature = reader.next();
                    if (signature == eEvent::eEnd && reader.depth() == depth + 3)
                        break;
                    if (signature != eEvent::eStart)
                        continue;
                    if (reader.name() == "signature")
                        ++signatures;
                    reader.skipElement();
                }
            }
        }
    }
}

} // namespace

size_t gEachKey(CXmlPullReader& reader, const std::function<void(const SKeyListing&)>& visit) {
    using eEvent = CXmlPullReader::eEvent;
    const unsigned int depth = reader.depth();
    size_t count = 0;
    for (;;) {
        const eEvent event = reader.next();
        if (event == eEvent::eEnd && reader.depth() == depth)
            break;
        if (event != eEvent::eStart)
            continue;
        if (reader.name() != "key") {
            reader.skipElement();
            continue;
        }
        SKeyListing listing;
        readKey(reader, listing);
        ++count;
        visit(listing);
    }
    return count;
}

size_t gRenderKeys(CXmlPullReader& reader, std::ostream& out) {
    size_t count = 0;
    gEachKey(reader, [&](const SKeyListing& listing) {
        if (count++ != 0)
            out << '\n';
        gRenderKey(listing, out);
    });
    if (count == 0)
        out << "No keys.\n";
    return count;
}

bool gKeyIsNamed(const SXmlElement& key, const std::string& name) {
    const std::string wanted = digitsOf(name);
    switch (wanted.size()) {
    case 8:
        return digitsOf(key.get("id")) == wanted;
    case 16:
        return digitsOf(key.get("idfull")) == wanted;
    case 32:
    case 40:
        return digitsOf(key.get("fingerprint")) == wanted;
    default:
        return false;
    }
}

void gRenderLog(const SXmlElement& transactions, std::ostream& out) {
    std::vector<const SXmlElement*> list = transactions.childrenNamed("transaction");
    if (list.empty()) {
        out << "The transaction log is empty.\n";
        return;
    }
    std::vector<Row> rows{{"Start", "End", "User", "Operation", "RC", "Command line"}};
    for (const SXmlElement* t : list)
        rows.push_back({attr(*t, "start"), attr(*t, "end"), attr(*t, "username"), attr(*t, "op"),
                        attr(*t, "rc"), attr(*t, "cmdline")});
    writeTable(rows, out);
}

void gRenderSwitches(const SXmlElement& switches, std::ostream& out) {
    for (const SXmlElement* s : switches.childrenNamed("switch"))
        out << attr(*s, "id") << '\n';
}

void gRenderConfiguration(const SXmlElement& configuration, std::ostream& out) {
    std::vector<Row> rows;
    for (const SXmlElement* alias : listed(configuration, "aliases", "alias"))
        rows.push_back({"Alias", attr(*alias, "code"), "=", attr(*alias, "command")});
    if (const SXmlElement* values = configuration.child("values"))
        for (const SXmlElement& value : values->children)
            rows.push_back({gPrintable(value.name), "", "=", gPrintable(value.text)});
    if (rows.empty()) {
        out << "The configuration file sets nothing.\n";
        return;
    }
    // Directives span the first two columns; aliases use the second for their code.
    std::vector<Row> joined;
    for (Row& row : rows)
        joined.push_back({row[1].empty() ? row[0] : row[0] + " " + row[1], row[2], row[3]});
    writeTable(joined, out);
}

namespace {

// The hex digits of a key server's key ID ("0x" dropped); empty when it is not hex.
std::string serverHex(const std::string& id) {
    std::string hex =
        id.compare(0, 2, "0x") == 0 || id.compare(0, 2, "0X") == 0 ? id.substr(2) : id;
    if (hex.empty() || hex.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
        return std::string();
    return hex;
}

} // namespace

void gRenderKeyServerKeys(const SXmlElement& keys, std::ostream& out) {
    const std::vector<const SXmlElement*> list = keys.childrenNamed("key");
    for (size_t i = 0; i < list.size(); ++i) {
        const SXmlElement& key = *list[i];
        if (i != 0)
            out << '\n';
        // A version 4 fingerprint or a long key ID ends in the short key ID the keys table
        // shows; anything else is shown as the server gave it.
        const std::string hex = serverHex(key.get("id"));
        const bool derived = hex.size() == 40 || hex.size() == 16;
        const std::string shown = derived ? "0x" + hex.substr(hex.size() - 8) : attr(key, "id");
        std::string algorithm = attr(key, "alg");
        std::string flagText;
        for (const char* flag : {"revoked", "expired", "disabled"})
            if (yes(key, flag))
                flagText += (flagText.empty() ? "" : ",") + std::string(flag);
        writeTable({{"Key ID", "Type", "Size", "Created", "Expires", "Flags"},
                    {shown, algorithm.empty() ? "?" : algorithm, attr(key, "size"),
                     key.get("creation-time") == "N/A" ? "?" : attr(key, "creation-time"),
                     date(key, "expiration-time"), flagText.empty() ? "-" : flagText}},
                   out);
        std::vector<Row> details;
        if (hex.size() == 40 || hex.size() == 32)
            details.push_back({"Fingerprint:", grouped(hex)});
        else if (hex.size() == 16)
            details.push_back({"Long key ID:", "0x" + hex});
        for (const SXmlElement* userID : key.childrenNamed("userid"))
            details.push_back({"User ID:", attr(*userID, "name")});
        const std::string more = key.get("more-userids", "0");
        if (more != "0")
            details.push_back({"User ID:", "(" + gPrintable(more) + " more not shown)"});
        writeTable(details, out, "  ");
    }
    if (!list.empty())
        out << '\n';
    out << list.size() << (list.size() == 1 ? " key found.\n" : " keys found.\n");
}

void gRenderKeyServerReport(const SXmlElement& report, std::ostream& out) {
    for (const SXmlElement* key : report.childrenNamed("key")) {
        const std::string userID = attr(*key, "userid");
        out << "key " << attr(*key, "id") << (userID.empty() ? "" : " " + userID) << ": "
            << attr(*key, "outcome") << '\n';
    }
    out << attr(report, "new") << " new, " << attr(report, "changed") << " changed, "
        << attr(report, "unchanged") << " unchanged\n";
}

} // namespace vornadmin
