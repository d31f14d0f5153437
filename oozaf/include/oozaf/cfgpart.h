// cfgpart: one layer of configuration, the settings of one source (a file, the environment file,
// a console request): operations mapped to lists of typed values, plus command aliases.
#ifndef OOZAF_CFGPART_H
#define OOZAF_CFGPART_H

#include <oozaf/obj.h>
#include <oozaf/ops.h>
#include <oozaf/time.h>
#include <oozaf/value.h>

#include <map>
#include <ostream>
#include <string>

namespace oozaf {

class CVornServerCfg;

// Maps operations to their values and alias codes to their targets. The part owns every value in
// its lists and deletes it when it leaves the part. A list in the map is never empty, and a
// one-to-one operation (argument type without the multi flag) has exactly one value.
//
// Texts are parsed by the operation's argument type (processOp): booleans by the boolean words,
// integers by their leading decimal digits, enumerations through the operation's name table,
// strings as they are, key IDs when they pass the key-ID check. One pair of enclosing double
// quotes is removed first, except that the Question text made of exactly two double quotes stays
// as it is (it stands for an empty question), and that an alias text "code:target" whose ":"
// stands outside quotes keeps them, as its code and target are quoted each on its own.
//
// Faults in a text raise a new CZAFPropertiesParsingException (reason 300 or the reason named at
// the function); a failed call leaves the part as it was. Programming faults (asking a one-to-many
// operation for its single value, a stored value of the wrong kind for a typed getter, a table
// row of an unusable type) raise CZAFInternalError tagged "vornserverconf".
//
// A part has no lock: it is filled by one thread and only read once it is complete.
class CVornServerCfgPart : public CZAFObj {
public:
    using CAliasMap = std::map<std::string, std::string>;
    using CConfigurationMap = std::map<eZAFOp, CValueList>;

    // `owner` is the combined configuration the part belongs to (not owned); it may be null.
    explicit CVornServerCfgPart(CVornServerCfg* owner);
    ~CVornServerCfgPart() override;
    CVornServerCfgPart(const CVornServerCfgPart&) = delete;
    CVornServerCfgPart& operator=(const CVornServerCfgPart&) = delete;

    // Finds the operation of `directive` (hyphens and letter case ignored) and stores `value`
    // through processOp. A directive the operation table does not hold raises reason 300 with
    // the CZAFNoSuchDirectiveError as cause.
    virtual void processKeyValue(const std::string& directive, const std::string& value);
    // Lays `other` over this part: its aliases replace aliases with the same code, then every
    // value is copied in with putValue (so a one-to-one setting of `other` wins and one-to-many
    // values are appended by putValue's rule). Merging a part into itself changes nothing.
    virtual void merge(const CVornServerCfgPart& other);
    // Deletes every value and alias; the part stays usable.
    virtual void clear();
    // Parses `value` for `op` and stores it. Raises:
    //  - 300 "Directive '<name>' appears more than once in the configuration file" when a
    //    one-to-one operation already has a value in this part;
    //  - 300 "Non-numeric value: <text>" for an integer operation;
    //  - 300 with the CZAFNoSuchBooleanError as cause for a word that is not a boolean;
    //  - 300 for a word that the operation's name table does not hold;
    //  - 300 for an operation that takes no value from a configuration source;
    //  - 402 for the Include/source directives, which name files to read and are not settings;
    //  - 405 for a text that is not a key ID where one is expected;
    //  - 401, 406, 407 for a bad alias (see addAlias and parseAliasSrcTarget).
    // The layer classes override it to restrict what their source may set.
    virtual void processOp(eZAFOp op, const std::string& value);

    // The values of `op`, or null when it has none.
    const CValueList* getValues(eZAFOp op) const;
    // The single value of a one-to-one operation, or null when unset.
    const CValue* getValue(eZAFOp op) const;
    // False when `op` is unset; otherwise stores its single value in `out` and returns true.
    bool getValue(eZAFOp op, bool& out) const;
    bool getValue(eZAFOp op, std::string& out) const;
    bool getValue(eZAFOp op, int& out) const;
    bool getValue(eZAFOp op, CZAFTime& out) const;

    // Stores `value`, taking ownership (also when this throws). A one-to-one operation's value
    // replaces the old one; a one-to-many operation appends it unless an equal value is present
    // (then `value` is deleted). Question is the exception: it appends without that check unless
    // it holds exactly five values.
    void putValue(eZAFOp op, const CValue* value);
    void putValue(eZAFOp op, bool value);
    void putValue(eZAFOp op, const std::string& value);
    void putValue(eZAFOp op, const char* value);
    void putValue(eZAFOp op, int value);
    void putValue(eZAFOp op, const CZAFTime& value);

    // Deletes every value of `op`; true if there were any.
    bool clearValue(eZAFOp op);
    // Removes and deletes the first stored value equal to `*value`. When `value` pointed at the
    // deleted object it becomes null. True if a value was removed.
    bool clearValue(eZAFOp op, const CValue*& value);
    // Replaces, in place, the first stored value equal to `*value` by a string value of `text`;
    // when `value` pointed at the replaced object it then points at the new one. True if found.
    bool replaceValue(eZAFOp op, const CValue*& value, const std::string& text);

    // True and the target when `source` is an alias code.
    bool getAliasTarget(const std::string& source, std::string& target) const;
    // Stores an alias, replacing one with the same code. An empty code is an internal error; a
    // code that is one of the long command-line switches (ignoring case) raises 406; a code that
    // does not begin with "-" raises 407.
    void addAlias(const std::string& source, const std::string& target);
    // Removes the alias; true if it existed.
    bool clearAlias(const std::string& source);
    // Splits "source:target" at the first ":" and removes one pair of enclosing quotes from each
    // side (the target may be empty). A text without ":" or starting with it raises 401.
    static void parseAliasSrcTarget(const std::string& text, std::string& source,
                                    std::string& target);

    // True when the operation holds at most one value per part.
    static bool isOneToOne(eZAFOp op);

    // Checks the path settings. LogFile must not be a directory (413) and must lie in an
    // existing directory (412 when that path is something else; the CZAFFileAccessException of
    // the check passes out when it cannot be examined, for example when it does not exist). A
    // LogFile without "/" lies in the working directory. Tmp must be a directory (412; the
    // access exception passes out likewise). Returns true when nothing is thrown.
    bool ValValues();

    const CAliasMap& getAliases() const { return m_aliases; }
    const CConfigurationMap& getConfigurationMap() const { return m_values; }
    CVornServerCfg* getOwner() const { return m_owner; }
    // True and the position of `op` in the configuration map when it has values.
    bool getOpPos(eZAFOp op, CConfigurationMap::const_iterator& pos) const;
    bool getOpPos(eZAFOp op, CConfigurationMap::iterator& pos);

    // True when both parts hold the same aliases and, per operation, equal values in the same
    // order.
    bool isEqualTo(const CVornServerCfgPart& other) const;

    // Diagnostic dump: the values (directive -> plain text) and then the aliases.
    friend std::ostream& operator<<(std::ostream& out, const CVornServerCfgPart& part);

private:
    CVornServerCfg* m_owner;
    CAliasMap m_aliases;
    CConfigurationMap m_values;
};

// The name under which a setting of `op` is written or reported: its directive, else its
// environment variable, else its name.
std::string gSettingNameFromOp(eZAFOp op);

} // namespace oozaf

#endif
