// libORXAPIJava: the native methods of com.brevan.orx.Vorn on the command engine's buffer calls.
//
// Every Java array is copied before the engine sees it, with a bound on its size; the engine's
// output and error buffers are copied into new Java arrays and released with ZAFvornFree on every
// path. The bridge's own refusals (a handle that is not live, a command holding a NUL byte, an
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

// An engine buffer, released with ZAFvornFree when it goes out of scope.
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

// A refusal of the bridge itself: the message goes to "stderr_buffer", the result is returned.
jint refuse(JNIEnv* env, jobject object, jfieldID errField, jint result, const std::string& text) {
    const std::string line = "orxcmd: " + text + "\n";
    storeField(env, object, errField, line.data(), line.size());
    return result;
}

// A copy of the Java array in a new buffer of its length plus `extra` zero bytes; null when
// memory runs out.
std::unique_ptr<jbyte[]> copyArray(JNIEnv* env, jbyteArray array, jsize length, jsize extra) {
    std::unique_ptr<jbyte[]> copy(new (std::nothrow) jbyte[static_cast<size_t>(length) + extra]());
    if (copy)
        env->GetByteArrayRegion(array, 0, length, copy.get());
    return copy;
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
    CVornUse use(handles(), handle);
    if (use.context() == nullptr)
        return kZAFvorn_BadContext;
    // Both fields are looked up before anything runs, so that no command's output can be lost.
    jclass type = env->GetObjectClass(object);
    const jfieldID outField = env->GetFieldID(type, "stdout_buffer", "[B");
    const jfieldID errField =
        outField != nullptr ? env->GetFieldID(type, "stderr_buffer", "[B") : nullptr;
    env->DeleteLocalRef(type);
    if (outField == nullptr || errField == nullptr)
        return kZAFvorn_Failed; // NoSuchFieldError is pending

    if (command == nullptr)
        return refuse(env, object, errField, kZAFvorn_Usage, "no command");
    const jsize commandLength = env->GetArrayLength(command);
    if (commandLength > kMaxCommandBytes)
        return refuse(env, object, errField, kZAFvorn_Usage,
                      "the command is longer than " + std::to_string(kMaxCommandBytes) + " bytes");
    std::unique_ptr<jbyte[]> text = copyArray(env, command, commandLength, 1);
    if (!text)
        return kZAFvorn_NoMemory;
    // The engine reads the command up to its first NUL: a command cut there could lose switches.
    if (std::memchr(text.get(), 0, static_cast<size_t>(commandLength)) != nullptr)
        return refuse(env, object, errField, kZAFvorn_Usage, "the command holds a NUL byte");

    std::unique_ptr<jbyte[]> in;
    jsize inLength = input != nullptr ? env->GetArrayLength(input) : 0;
    if (inLength > kMaxInputBytes)
        return refuse(env, object, errField, kZAFvorn_IO,
                      "the input is larger than " + std::to_string(kMaxInputBytes) + " bytes");
    if (inLength > 0) {
        in = copyArray(env, input, inLength, 0);
        if (!in)
            return kZAFvorn_NoMemory;
    }

    CEngineBuffer out(use.context());
    CEngineBuffer err(use.context());
    jint result =
        ZAFvorn(use.context(), reinterpret_cast<const char*>(text.get()),
                reinterpret_cast<const unsigned char*>(in.get()), static_cast<size_t>(inLength),
                &out.m_data, &out.m_length, &err.m_data, &err.m_length);
    text.reset();
    in.reset();
    // A Java array holds at most INT_MAX bytes: a longer output is not cut but refused.
    if (out.m_length > static_cast<size_t>(INT_MAX) || err.m_length > static_cast<size_t>(INT_MAX))
        return refuse(env, object, errField, kZAFvorn_NoMemory,
                      "the output is larger than a Java array can hold");
    if (out.m_length != 0 && !storeField(env, object, outField, out.m_data, out.m_length))
        return result; // OutOfMemoryError is pending
    if (err.m_length != 0)
        storeField(env, object, errField, err.m_data, err.m_length);
    return result;
}

} // extern "C"
