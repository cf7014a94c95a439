#include <gtest/gtest.h>
#include <seccomp.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "worker/Confinement.h"

namespace orfeo {
namespace {

// The list in docs/hostile-files.md of what a page worker cannot do, from its first line to the paragraph
// after it.
std::string CannotDoList() {
    std::ifstream page(ORFEO_HOSTILE_FILES);
    std::stringstream text;
    text << page.rdbuf();
    const std::string all = text.str();
    const std::size_t start = all.find("What it cannot do, and what enforces it");
    const std::size_t end = all.find("\n\n", all.find("\n- ", start));
    return start == std::string::npos ? std::string() : all.substr(start, end - start);
}

// Every system call the list names in backquotes is refused by the cage's table: by a line that refuses it
// (EACCES) or that the worker answers itself, or by having no line at all (the process ends). Calls it names
// as allowed on a condition (tgkill at itself, fcntl with some commands, mmap and mprotect without PROT_EXEC)
// must have a refusing line besides.
TEST(Cage, EveryCallTheReadmeSaysAWorkerCannotMakeIsRefusedByTheTable) {
    const std::string list = CannotDoList();
    ASSERT_FALSE(list.empty()) << "the list of what a worker cannot do is gone from " ORFEO_HOSTILE_FILES;
    const std::vector<CageRule> rules = CageRules();
    std::set<std::string> named;
    const std::regex quoted("`([a-z_0-9]+)`");
    for (auto match = std::sregex_iterator(list.begin(), list.end(), quoted); match != std::sregex_iterator();
         ++match) {
        const std::string name = (*match)[1];
        const int call = seccomp_syscall_resolve_name(name.c_str());
        // Not a system call (a flag, a file, a command), or the one the list names as the way it answers.
        if (call == __NR_SCMP_ERROR || name == "fstat") continue;
        named.insert(name);
        bool refused = false, allowedAlways = false;
        for (const CageRule& rule : rules) {
            if (rule.call != call) continue;
            // A call the worker answers itself is refused there whenever it names a path.
            refused = refused || rule.answer != CageAnswer::Allow;
            allowedAlways = allowedAlways || (rule.answer == CageAnswer::Allow && rule.when.empty());
        }
        EXPECT_FALSE(allowedAlways) << name << " is allowed without a condition";
        const bool hasLine =
            std::any_of(rules.begin(), rules.end(), [&](const CageRule& r) { return r.call == call; });
        EXPECT_TRUE(refused || !hasLine) << name << " is never refused";
    }
    // The list names the calls that matter most; a list that lost them would check nothing.
    for (const char* call :
         {"open", "openat", "execve", "fork", "kill", "fcntl", "mmap", "newfstatat", "tgkill"})
        EXPECT_TRUE(named.count(call)) << call << " is no longer in the list of " ORFEO_HOSTILE_FILES;
}

bool Holds(const scmp_arg_cmp& condition, scmp_datum_t value) {
    switch (condition.op) {
        case SCMP_CMP_EQ:
            return value == condition.datum_a;
        case SCMP_CMP_NE:
            return value != condition.datum_a;
        case SCMP_CMP_GT:
            return value > condition.datum_a;
        case SCMP_CMP_MASKED_EQ:
            return (value & condition.datum_a) == condition.datum_b;
        default:
            return true;  // a comparison the table does not use: taken to hold, so it proves nothing apart
    }
}

// True when no argument value meets both conditions (false when unsure).
bool Exclusive(const scmp_arg_cmp& a, const scmp_arg_cmp& b) {
    if (a.arg != b.arg) return false;
    if (a.op == SCMP_CMP_EQ) return !Holds(b, a.datum_a);
    if (b.op == SCMP_CMP_EQ) return !Holds(a, b.datum_a);
    if (a.op == SCMP_CMP_MASKED_EQ && b.op == SCMP_CMP_MASKED_EQ) {
        const scmp_datum_t common = a.datum_a & b.datum_a;
        return (a.datum_b & common) != (b.datum_b & common);
    }
    const auto gtAndMasked = [](const scmp_arg_cmp& gt, const scmp_arg_cmp& masked) {
        // The largest value the mask admits is not above the bound.
        return gt.op == SCMP_CMP_GT && masked.op == SCMP_CMP_MASKED_EQ &&
               (masked.datum_b | ~masked.datum_a) <= gt.datum_a;
    };
    return gtAndMasked(a, b) || gtAndMasked(b, a);
}

// The table's lines for one call never overlap: the filter library leaves the answer of overlapping lines
// unsaid. Two lines are apart when some argument they both compare cannot meet both conditions.
TEST(Cage, TheLinesOfOneCallNeverOverlap) {
    const std::vector<CageRule> rules = CageRules();
    for (std::size_t i = 0; i < rules.size(); ++i) {
        for (std::size_t k = i + 1; k < rules.size(); ++k) {
            if (rules[i].call != rules[k].call) continue;
            bool apart = false;
            for (const scmp_arg_cmp& a : rules[i].when)
                for (const scmp_arg_cmp& b : rules[k].when) apart = apart || Exclusive(a, b);
            char* name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, rules[i].call);
            EXPECT_TRUE(apart) << "lines " << i << " and " << k << " of " << (name ? name : "?")
                               << " overlap";
            std::free(name);
        }
    }
}

}  // namespace
}  // namespace orfeo
