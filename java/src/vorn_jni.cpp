// libORXAPIJava: the native methods of com.brevan.orx.Vorn on the command engine's buffer calls.
//
// Every Java array is copied before the engine sees it, with a bound on its size; the engine's
// output and error buffers are copied into new Java arrays and released with ZAFvornFree on every
// path. Every run sets both fields, to an empty array when there was nothing, so that no field
// still holds an earlier command's output; the bridge's copies of the command, the input (which
// may hold passphrases) and the output (which may be decrypted data) are wiped before they are
// freed. The bridge's own refusals (a handle that is not live, a command holding a NUL byte, an
// array over its bound) are results like the engine's, with one line on standard error.
#include "vorn_handles.h"

#include <climits>
#include <cstring>
#include <jni.h>
#include <memory>
#include <new>
#include <orx/zafengine.h>
#include <string>

using orxjava::CVornHandleTable;
using orxjava::CVornUse;

namespace {

// The longest command text taken (the engine reads at most 4096 words).
constexpr jsize kMaxCommandBytes = 1 << 20;
// The largest input buffer taken.
constexpr jsize kMaxInputBytes = 256 << 20;
// The buffer of vorn_error_string.
constexpr size_t kErrorTextBytes = 256;

CVornHandleTable& handles() {
    static CVornHandleTable table;
    return table;
}

// Overwrites a copy with zeros in a way the compiler keeps.
void wipe(void* data, size_t size) {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = 0;
}

// A copy of a Java array, wiped before it is freed.
struct SWipedCopy {
    std::unique_ptr<jbyte[]> bytes;
    size_t size = 0;
    SWipedCopy() = default;
    SWipedCopy(const SWipedCopy&) = delete;
    SWipedCopy& operator=(const SWipedCopy&) = delete;
    ~SWipedCopy() { reset(); }
    void reset() {
        if (bytes)
            wipe(bytes.get(), size);
        bytes.reset();
        size = 0;
    }
};

// An engine buffer, released with ZAFvornFree (which wipes it) when it goes out of scope.
class CEngineBuffer {
public:
    explicit CEngineBuffer(ZAFvornContext* context) : m_context(context) {}
    ~CEngineBuffer() { ZAFvornFree(m_context, m_data); }
    CEngineBuffer(const CEngineBuffer&) = delete;
    CEngineBuffer& operator=(const CEngineBuffer&) = delete;
    unsigned char* m_data = nullptr;
    size_t m_length = 0;

private:
    ZAFvornContext* m_context;
};

// A new Java array holding the bytes; null with an exception pending when Java has no memory.
jbyteArray newByteArray(JNIEnv* env, const void* data, jsize length) {
    jbyteArray array = env->NewByteArray(length);
    if (array != nullptr && length > 0)
        env->SetByteArrayRegion(array, 0, length, static_cast<const jbyte*>(data));
    return array;
}

// Sets the field to a copy of the bytes. False with an exception pending when Java has no memory.
bool storeField(JNIEnv* env, jobject object, jfieldID field, const void* data, size_t length) {
    jbyteArray array = newByteArray(env, data, static_cast<jsize>(length));
    if (array == nullptr)
        return false;
    env->SetObjectField(object, field, array);
    env->DeleteLocalRef(array);
    return true;
}

// A refusal of the bridge itself: the message goes to "stderr_buffer", "stdout_buffer" is
// emptied, the result is returned.
jint refuse(JNIEnv* env, jobject object, jfieldID outField, jfieldID errField, jint result,
            const std::string& text) {
    const std::string line = "orxcmd: " + text + "\n";
    if (storeField(env, object, outField, nullptr, 0))
        storeField(env, object, errField, line.data(), line.size());
    return result;
}

// A copy of the Java array in a new buffer of its length plus `extra` zero bytes; false when
// memory runs out.
bool copyArray(JNIEnv* env, jbyteArray array, jsize length, jsize extra, SWipedCopy& copy) {
    copy.size = static_cast<size_t>(length) + static_cast<size_t>(extra);
    copy.bytes.reset(new (std::nothrow) jbyte[copy.size]());
    if (!copy.bytes)
        return false;
    env->GetByteArrayRegion(array, 0, length, copy.bytes.get());
    return true;
}

} // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_brevan_orx_Vorn_vorn_1init(JNIEnv*, jobject) {
    ZAFvornContext* context = nullptr;
    if (ZAFvornInit(&context) != kZAFvorn_OK || context == nullptr)
        return 0;
    const int32_t handle = handles().add(context);
    if (handle == 0)
        ZAFvornCleanUp(context);
    return handle;
}

JNIEXPORT void JNICALL Java_com_brevan_orx_Vorn_vorn_1cleanup(JNIEnv*, jobject, jint handle) {
    if (ZAFvornContext* context = handles().remove(handle))
        ZAFvornCleanUp(context);
}

JNIEXPORT jbyteArray JNICALL Java_com_brevan_orx_Vorn_vorn_1error_1string(JNIEnv* env, jobject,
                                                                          jint handle, jint code) {
    CVornUse use(handles(), handle);
    if (use.context() == nullptr)
        return nullptr;
    char text[kErrorTextBytes] = {};
    if (ZAFvornErrorString(use.context(), code, text, sizeof text) != kZAFvorn_OK)
        return nullptr;
    text[sizeof text - 1] = '\0';
    return newByteArray(env, text, static_cast<jsize>(std::strlen(text)));
}

JNIEXPORT jint JNICALL Java_com_brevan_orx_Vorn_vorn_1run(JNIEnv* env, jobject object, jint handle,
                                                          jbyteArray command, jbyteArray input) {
    // Both fields are looked up before anything runs, so that every run sets them.
    jclass type = env->GetObjectClass(object);
    const jfieldID outField = env->GetFieldID(type, "stdout_buffer", "[B");
    const jfieldID errField =
        outField != nullptr ? env->GetFieldID(type, "stderr_buffer", "[B") : nullptr;
    env->DeleteLocalRef(type);
    if (outField == nullptr || errField == nullptr)
        return kZAFvorn_Failed; // NoSuchFieldError is pending

    CVornUse use(handles(), handle);
    if (use.context() == nullptr)
        return refuse(env, object, outField, errField, kZAFvorn_BadContext,
                      "a null or unknown context");
    if (command == nullptr)
        return refuse(env, object, outField, errField, kZAFvorn_Usage, "no command");
    const jsize commandLength = env->GetArrayLength(command);
    if (commandLength > kMaxCommandBytes)
        return refuse(env, object, outField, errField, kZAFvorn_Usage,
                      "the command is longer than " + std::to_string(kMaxCommandBytes) + " bytes");
    SWipedCopy text;
    if (!copyArray(env, command, commandLength, 1, text))
        return refuse(env, object, outField, errField, kZAFvorn_NoMemory, "out of memory");
    // The engine reads the command up to its first NUL: a command cut there could lose switches.
    if (std::memchr(text.bytes.get(), 0, static_cast<size_t>(commandLength)) != nullptr)
        return refuse(env, object, outField, errField, kZAFvorn_Usage,
                      "the command holds a NUL byte");

    SWipedCopy in;
    jsize inLength = input != nullptr ? env->GetArrayLength(input) : 0;
    if (inLength > kMaxInputBytes)
        return refuse(env, object, outField, errField, kZAFvorn_IO,
                      "the input is larger than " + std::to_string(kMaxInputBytes) + " bytes");
    if (inLength > 0 && !copyArray(env, input, inLength, 0, in))
        return refuse(env, object, outField, errField, kZAFvorn_NoMemory, "out of memory");

    CEngineBuffer out(use.context());
    CEngineBuffer err(use.context());
    jint result = ZAFvorn(use.context(), reinterpret_cast<const char*>(text.bytes.get()),
                          reinterpret_cast<const unsigned char*>(in.bytes.get()),
                          static_cast<size_t>(inLength), &out.m_data, &out.m_length, &err.m_data,
                          &err.m_length);
    text.reset();
    in.reset();
    // A Java array holds at most INT_MAX bytes: a longer output is not cut but refused.
    if (out.m_length > static_cast<size_t>(INT_MAX) || err.m_length > static_cast<size_t>(INT_MAX))
        return refuse(env, object, outField, errField, kZAFvorn_NoMemory,
                      "the output is larger than a Java array can hold");
    if (storeField(env, object, outField, out.m_data, out.m_length))
        storeField(env, object, errField, err.m_data, err.m_length); // else OutOfMemoryError
    return result;
}

} // extern "C"
