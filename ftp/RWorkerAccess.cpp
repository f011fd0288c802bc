#include "ftp/RWorkerAccess.h"

#include "accounts/AccessQuery.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"

namespace vantor {

bool AskFlagOffLoop(const RWorkerContextStr& ctx, uint32_t code, std::string_view aux) {
  AccessQuery q = MakeAccessQuery(code, ctx.user, ctx.address, ctx.session, aux);
  ctx.manager->AnswerAccessQueryOffLoop(q);
  return q.flag != 0;
}

RWorkerContextStr WorkerContext(const RFTPSComInterp& s) {
  return {&s.Manager(), s.Number(), s.Login.userName, s.Connection.localAddress,
          s.Manager().Fs().Snapshot()};
}

}  // namespace vantor
