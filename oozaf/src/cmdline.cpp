// cmdline: splitting a program's arguments into switches and checking them.
#include <oozaf/cmdline.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

namespace oozaf {

void CZAFCommandLineContext::parse(unsigned int count, const char* const* argv) {
    ZAF_ASSERT_TAG("cmdline", count == 0 || argv != nullptr);
    CZAFArgs args;
    args.reserve(count);
    for (unsigned int i = 0; i < count; ++i) {
        ZAF_ASSERT_TAG("cmdline", argv[i] != nullptr);
        args.emplace_back(argv[i]);
    }
    parse(args);
}

void CZAFCommandLineContext::parse(const CZAFArgs& args) {
    m_args = args;
    parseArgs();
}

const CZAFCommandLineContext::CZAFArgs*
CZAFCommandLineContext::getArgs(const std::string& sw) const {
    const auto found = m_switches.find(CZAFUtil::toLower(sw));
    return found == m_switches.end() ? nullptr : &found->second;
}

bool CZAFCommandLineContext::isSwitch(const std::string& word) {
    return CZAFUtil::beginsWithIgnoreCase(word, "--");
}

void CZAFCommandLineContext::parseArgs() {
    m_independentArgs.clear();
    m_switches.clear();
    // Points into m_switches; map nodes do not move when others are inserted.
    CZAFArgs* current = nullptr;
    std::string currentSwitch;
    for (const std::string& word : m_args) {
        if (isSwitch(word)) {
            currentSwitch = CZAFUtil::toLower(word);
            if (!switchIsValid(currentSwitch))
                throw new CZAFInvalidCommandLineSwitchException(currentSwitch);
            const auto inserted = m_switches.emplace(currentSwitch, CZAFArgs());
            if (!inserted.second)
                throw new CZAFDuplicateSwitchException(currentSwitch);
            current = &inserted.first->second;
        } else if (current == nullptr) {
            m_independentArgs.push_back(word);
        } else {
            if (!argIsValid(currentSwitch, word))
                throw new CZAFInvalidArgumentException(currentSwitch, word);
            current->push_back(word);
        }
    }
    validate();
}

void CZAFCommandLineContext::validate() const {
    for (const auto& entry : m_switches) {
        uint16_t min = 0;
        uint16_t max = 0;
        minMaxArgsForSwitch(entry.first, min, max);
        const std::size_t count = entry.second.size();
        if ((min != 0 && count < min) || (max != 0 && count > max))
            throw new CZAFIncorrectArgsNumException(entry.first, min, max);
    }
}

std::ostream& operator<<(std::ostream& out, const CZAFCommandLineContext& context) {
    out << "Arguments supplied:\n-------------------\n\n";
    for (const std::string& arg : context.getArgs())
        out << arg << "\n";
    out << "\nParsed args:\n------------\n\n";
    for (const auto& entry : context.getParsedSwitches()) {
        out << entry.first << " -> ";
        for (std::size_t i = 0; i < entry.second.size(); ++i)
            out << (i == 0 ? "" : " ") << entry.second[i];
        out << "\n";
    }
    return out;
}

} // namespace oozaf
