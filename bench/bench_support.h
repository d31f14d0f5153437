// bench_support: what several benchmarks do with an open key database.
#ifndef ORX_BENCH_SUPPORT_H
#define ORX_BENCH_SUPPORT_H

#include <zaf/zafkeys.h>

#include <initializer_list>

// Reads what a keys summary shows of every key, user ID, signature and subkey.
inline void listKeysSummary(ZAFKeyDBRef db) {
    ZAFKeyIterRef it = nullptr;
    ZAFNewKeyIterFromKeyDB(db, &it);
    ZAFKeyDBObjRef key = nullptr, obj = nullptr, sig = nullptr;
    int32_t n = 0;
    ZAFBoolean b = 0;
    ZAFTime t = 0;
    char text[32];
    char buf[256];
    size_t len = 0;
    while (ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Key, &key) == 0) {
        ZAFKeyID id;
        ZAFGetKeyID(key, &id);
        ZAFGetKeyIDString(&id, 1, text, sizeof text);
        ZAFGetKeyIDString(&id, 2, text, sizeof text);
        for (int32_t p : {200, 201, 202, 203})
            ZAFGetKeyDBObjNumericProperty(key, p, &n);
        for (int32_t p : {100, 102, 103, 105, 107, 108, 114, 115})
            ZAFGetKeyDBObjBooleanProperty(key, p, &b);
        ZAFGetKeyDBObjTimeProperty(key, 300, &t);
        ZAFGetKeyDBObjTimeProperty(key, 301, &t);
        ZAFGetKeyDBObjDataProperty(key, 401, buf, sizeof buf, &len);
        ZAFGetKeyDBObjDataProperty(key, 403, buf, sizeof buf, &len);
        ZAFGetPrimaryUserID(key, &obj);
        while (ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_UserID, &obj) == 0) {
            ZAFGetKeyDBObjDataProperty(obj, 1200, buf, sizeof buf, &len);
            ZAFGetKeyDBObjNumericProperty(obj, 1002, &n);
            while (ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Signature, &sig) == 0) {
                ZAFGetKeyDBObjNumericProperty(sig, 1400, &n);
                for (int32_t p : {1300, 1302, 1303, 1306, 1307, 1308})
                    ZAFGetKeyDBObjBooleanProperty(sig, p, &b);
                ZAFGetKeyDBObjDataProperty(sig, 1600, buf, sizeof buf, &len);
                ZAFGetKeyDBObjTimeProperty(sig, 1500, &t);
            }
        }
        ZAFKeyIterSeek(it, key);
        while (ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_SubKey, &obj) == 0) {
            ZAFGetKeyID(obj, &id);
            ZAFGetKeyIDString(&id, 1, text, sizeof text);
            ZAFGetKeyDBObjNumericProperty(obj, 601, &n);
            ZAFGetKeyDBObjTimeProperty(obj, 700, &t);
            ZAFGetKeyDBObjBooleanProperty(obj, 503, &b);
        }
        uint32_t count = 0;
        ZAFCountRevocationKeys(key, &count);
        ZAFCountAdditionalRecipientRequests(key, &count);
    }
    ZAFFreeKeyIter(it);
}

#endif
