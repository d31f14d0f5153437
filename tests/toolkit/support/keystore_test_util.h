// keystore_test_util: temporary folders, contexts and small rings cut from the bench rings.
#ifndef KEYSTORE_TEST_UTIL_H
#define KEYSTORE_TEST_UTIL_H

#include <zaf/zaf.h>
#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kstest {

inline std::string benchPath(const std::string& name) {
    return std::string(ORX_SHARED_DIR) + "/bench/" + name;
}

inline bool haveBench() { return std::filesystem::exists(benchPath("pubring-1k.pkr")); }

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeAll(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
}

// Offsets of every transferable key in a ring (primary key packets, tags 5 and 6; the bench
// rings use old-format headers only).
inline std::vector<size_t> keyOffsets(const std::string& ring) {
    std::vector<size_t> out;
    size_t pos = 0;
    while (pos < ring.size()) {
        uint8_t ctb = uint8_t(ring[pos]);
        uint8_t tag = (ctb >> 2) & 15;
        size_t hb = (ctb & 3) == 0 ? 1 : (ctb & 3) == 1 ? 2 : 4;
        size_t len = 0;
        for (size_t i = 0; i < hb; ++i)
            len = (len << 8) | uint8_t(ring[pos + 1 + i]);
        if (tag == 5 || tag == 6)
            out.push_back(pos);
        pos += 1 + hb + len;
    }
    out.push_back(ring.size());
    return out;
}

// The keys [first, last) of a ring as bytes.
inline std::string sliceKeys(const std::string& ring, size_t first, size_t last) {
    std::vector<size_t> off = keyOffsets(ring);
    return ring.substr(off[first], off[last] - off[first]);
}

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kstestXXXXXX").string();
        m_path = ::mkdtemp(&tmpl[0]) ? tmpl : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

class Context {
public:
    Context() { ZAFNewContext(&m_ctx); }
    ~Context() {
        if (m_ctx)
            ZAFFreeContext(m_ctx);
    }
    ZAFContextRef get() const { return m_ctx; }

private:
    ZAFContextRef m_ctx = nullptr;
};

class Spec {
public:
    Spec(ZAFContextRef ctx, const std::string& path) {
        ZAFNewFileSpecFromFullPath(ctx, path.c_str(), &m_spec);
    }
    ~Spec() {
        if (m_spec)
            ZAFFreeFileSpec(m_spec);
    }
    ZAFFileSpecRef get() const { return m_spec; }

private:
    ZAFFileSpecRef m_spec = nullptr;
};

// Opens a mutable database on two ring files.
inline ZAFError openDB(ZAFContextRef ctx, const std::string& pub, const std::string& sec,
                       ZAFKeyDBRef* out, uint32_t options = kZAFOpenKeyDBFileOptions_Mutable) {
    Spec p(ctx, pub), s(ctx, sec);
    return ZAFOpenKeyDBFile(ctx, options, p.get(), s.get(), out);
}

inline std::string keyIDText(ZAFKeyDBObjRef obj, int32_t type = kZAFKeyIDString_Full) {
    ZAFKeyID id;
    if (ZAFGetKeyID(obj, &id) != 0)
        return "";
    char buf[32] = {};
    ZAFGetKeyIDString(&id, type, buf, sizeof buf);
    return buf;
}

inline std::vector<std::string> keyIDs(ZAFKeyDBRef db) {
    std::vector<std::string> out;
    ZAFKeyIterRef it = nullptr;
    if (ZAFNewKeyIterFromKeyDB(db, &it) != 0)
        return out;
    ZAFKeyDBObjRef k = nullptr;
    while (ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Key, &k) == 0)
        out.push_back(keyIDText(k));
    ZAFFreeKeyIter(it);
    return out;
}

// Imports bytes into a new in-memory database.
inline ZAFKeyDBRef importBytes(ZAFContextRef ctx, const std::string& bytes,
                               ZAFError* err = nullptr) {
    ZAFKeyDBRef db = nullptr;
    ZAFError e =
        ZAFImport(ctx, &db, ZAFOInputBuffer(ctx, bytes.data(), bytes.size()), ZAFOLastOption());
    if (err)
        *err = e;
    return db;
}

inline std::string exportSet(ZAFContextRef ctx, ZAFKeySetRef set, bool armor, bool priv,
                             int32_t format = kZAFExportFormat_Complete) {
    void* data = nullptr;
    size_t size = 0;
    if (ZAFExport(ctx, ZAFOExportKeySet(ctx, set), ZAFOAllocatedOutputBuffer(ctx, &data, 0, &size),
                  ZAFOExportPrivateKeys(ctx, priv), ZAFONullOption(ctx),
                  ZAFOArmorOutput(ctx, armor), ZAFOExportFormat(ctx, format),
                  ZAFOLastOption()) != 0)
        return "<error>";
    std::string out(static_cast<char*>(data), size);
    ZAFFreeData(data);
    return out;
}

} // namespace kstest

#endif
