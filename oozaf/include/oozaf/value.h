// value: the typed values of a configuration setting (text, boolean, integer, date) and the lists
// that hold them.
#ifndef OOZAF_VALUE_H
#define OOZAF_VALUE_H

#include <oozaf/obj.h>
#include <oozaf/ops.h>
#include <oozaf/time.h>

#include <list>
#include <string>

namespace oozaf {

// One value of a configuration setting. Values are immutable once built, so any thread may read
// them; whoever holds the pointer in a list owns the value (see CVornServerCfgPart).
class CValue : public CZAFObj {
public:
    CValue() = default;
    ~CValue() override = default;
    CValue(const CValue&) = delete;
    CValue& operator=(const CValue&) = delete;

    // True when `other` has the same concrete kind and the same stringValue() text. Values of
    // different kinds never compare equal, even when their texts agree ("1" and 1).
    virtual bool operator==(const CValue& other) const;
    // A new value of the same kind and content; the caller owns it.
    virtual CValue* duplicate() const = 0;
    // The value's text as a configuration file holds it.
    virtual std::string stringValue() const = 0;
    // The value's text as a setting of `op`; the same as stringValue() unless a kind says
    // otherwise.
    virtual std::string stringValue(eZAFOp op) const;

    bool operator!=(const CValue& other) const { return !(*this == other); }
};

// A text, kept as given (no quotes are added or removed).
class CStringValue final : public CValue {
public:
    explicit CStringValue(const std::string& value) : m_value(value) {}
    using CValue::stringValue;
    CValue* duplicate() const override;
    std::string stringValue() const override { return m_value; }
    operator std::string() const { return m_value; }

private:
    const std::string m_value;
};

// A boolean, written "yes" or "no".
class CBoolValue final : public CValue {
public:
    explicit CBoolValue(bool value) : m_value(value) {}
    using CValue::stringValue;
    CValue* duplicate() const override;
    std::string stringValue() const override;
    operator bool() const { return m_value; }

private:
    const bool m_value;
};

// A signed integer; it also holds every enumerated setting.
class CIntValue final : public CValue {
public:
    explicit CIntValue(int value) : m_value(value) {}
    CValue* duplicate() const override;
    // Decimal text, with a leading "-" when negative.
    std::string stringValue() const override;
    // For an enumerated operation (KeyType, Sort, FingerprintView, Info, SigType, CAType,
    // KeyServerType, Cipher, Hash, ExportFormat, CLVersion) the name that the operation's table
    // holds for the integer; the decimal text for every other operation. An integer missing from
    // the table throws that table's lookup error (a CZAFTableLookupError; the caller owns it).
    std::string stringValue(eZAFOp op) const override;
    operator int() const { return m_value; }

private:
    const int m_value;
};

// A date, written year-month-day in UTC.
class CTimeValue final : public CValue {
public:
    explicit CTimeValue(const CZAFTime& value) : m_value(value) {}
    using CValue::stringValue;
    CValue* duplicate() const override;
    std::string stringValue() const override;
    operator CZAFTime() const { return m_value; }

private:
    const CZAFTime m_value;
};

// The values of one operation, in insertion order.
using CValueList = std::list<const CValue*>;

// The position of the first element equal to `*value` (CValue::operator==), or the list's end.
CValueList::const_iterator gSearchList(const CValueList& list, const CValue* value);
CValueList::iterator gSearchList(CValueList& list, const CValue* value);

} // namespace oozaf

#endif
