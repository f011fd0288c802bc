#include "ftp/RWorkerAccess.h"

#include "accounts/AccessQuery.h"
#include "accounts/RAccessRules.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"

namespace vantor {

bool AskFlagOffLoop(const RWorkerContextStr& ctx, uint32_t code, std::string_view aux) {
  if (ctx.rules && IsFileAccessCode(code) && ctx.rules->Allows(code, aux)) return true;
  if (ctx.rules && IsFileAccessCode(code) && !ctx.rules->RefusalsNeedLibraries()) return false;
  AccessQuery q = MakeAccessQuery(code, ctx.user, ctx.address, ctx.session, aux);
  ctx.manager->AnswerAccessQueryOffLoop(q);
  return q.flag != 0;
}

void RWorkerListAccess::CanListMany(std::string_view, uint32_t,
                                    const std::vector<std::string>& paths,
                                    std::vector<char>& allowed) {
  allowed.assign(paths.size(), 0);
  // What the rules settle here; the rest goes to the loop in one hand-over.
  std::vector<size_t> open;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (ctx_.rules && ctx_.rules->Allows(QC_LIST_DIR, paths[i])) {
      allowed[i] = 1;
    } else if (!ctx_.rules || ctx_.rules->RefusalsNeedLibraries()) {
      open.push_back(i);
    }
  }
  if (open.empty()) return;
  std::vector<AccessQuery> qs;
  qs.reserve(open.size());
  for (size_t i : open) {
    qs.push_back(MakeAccessQuery(QC_LIST_DIR, ctx_.user, ctx_.address, ctx_.session, paths[i]));
  }
  ctx_.manager->AnswerAccessQueriesOffLoop(qs.data(), qs.size());
  for (size_t k = 0; k < open.size(); ++k) allowed[open[k]] = qs[k].flag != 0 ? 1 : 0;
}

RWorkerContextStr WorkerContext(const RFTPSComInterp& s) {
  return {&s.Manager(),
          s.Number(),
          s.Login.userName,
          s.Connection.localAddress,
          s.Manager().Fs().Snapshot(),
          s.Manager().ListRules(s.Login.userName, s.Connection.localAddress)};
}

}  // namespace vantor
