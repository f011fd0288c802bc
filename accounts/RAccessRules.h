// Directory access rules ("Access1=C:\ftp\pub,RLP").
//
// A rule is a path (full path with drive, "\path" without drive, a bare
// name, any of them with wildcards) and permission letters. One rule either
// decides a query (granted or refused) or does not apply; the store walks the
// numbered rules of the user, its group and the default user in that order
// and the first rule that decides wins.
#pragma once

#include <cstdint>
#include <string_view>

#include "accounts/AccessQuery.h"
#include "accounts/RPathProbe.h"

namespace vantor {

enum class RRuleVerdict { NotApplicable, Granted, Refused };

// Evaluates one rule value against a query `code` (7, 8, 9, 10, 12, 13, 14,
// 20, 21) for the absolute local path `localPath`. The probe answers "is an
// existing directory" for code 21 (nullptr: nothing is a directory except a
// drive root). Malformed rules never apply. Paths shorter than 3 characters
// are the caller's business (the store refuses them before asking).
RRuleVerdict EvaluateAccessRule(std::string_view rule, uint32_t code, std::string_view localPath,
                                const RPathProbe* probe);

// True when `letters` (upper or lower case) grant `code`.
bool RuleLettersGrant(std::string_view letters, uint32_t code);

// True for the codes answered by the rules.
bool IsFileAccessCode(uint32_t code);

}  // namespace vantor
