// Fuzz target: import of binary or armoured input, then export of what was read.
#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ZAFContextRef context = [] {
        ZAFContextRef c = nullptr;
        ZAFNewContext(&c);
        return c;
    }();
    if (size > (1u << 20) || context == nullptr)
        return 0;
    ZAFKeyDBRef db = nullptr;
    if (ZAFImport(context, &db, ZAFOInputBuffer(context, data, size), ZAFOLastOption()) != 0)
        return 0;
    ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db);
    for (int armor = 0; armor < 2; ++armor) {
        void* out = nullptr;
        size_t outSize = 0;
        if (ZAFExport(context, ZAFOExportKeySet(context, ZAFPeekKeyDBRootKeySet(db)),
                      ZAFOAllocatedOutputBuffer(context, &out, 0, &outSize),
                      ZAFOExportPrivateKeys(context, 1), ZAFOArmorOutput(context, armor),
                      ZAFOLastOption()) == 0)
            ZAFFreeData(out);
    }
    ZAFFreeKeyDB(db);
    return 0;
}
