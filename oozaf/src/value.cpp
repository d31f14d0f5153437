// value: the typed values of a configuration setting.
#include <oozaf/nametables.h>
#include <oozaf/value.h>

#include <algorithm>
#include <typeinfo>

namespace oozaf {

bool CValue::operator==(const CValue& other) const {
    return typeid(*this) == typeid(other) && stringValue() == other.stringValue();
}

std::string CValue::stringValue(eZAFOp) const { return stringValue(); }

CValue* CStringValue::duplicate() const { return new CStringValue(m_value); }

CValue* CBoolValue::duplicate() const { return new CBoolValue(m_value); }

std::string CBoolValue::stringValue() const { return gStringFromBool(m_value); }

CValue* CIntValue::duplicate() const { return new CIntValue(m_value); }

std::string CIntValue::stringValue() const { return std::to_string(m_value); }

// The operation table's name look-up already returns the decimal text for every operation
// that is not enumerated.
std::string CIntValue::stringValue(eZAFOp op) const { return gStringFromOpValue(op, m_value); }

CValue* CTimeValue::duplicate() const { return new CTimeValue(m_value); }

std::string CTimeValue::stringValue() const { return m_value.formatYMD(false); }

CValueList::const_iterator gSearchList(const CValueList& list, const CValue* value) {
    return std::find_if(list.begin(), list.end(),
                        [value](const CValue* element) { return *element == *value; });
}

CValueList::iterator gSearchList(CValueList& list, const CValue* value) {
    return std::find_if(list.begin(), list.end(),
                        [value](const CValue* element) { return *element == *value; });
}

} // namespace oozaf
