#include "qo_common/logger/log.h"

#include "qo_common/utils/CommonUtils.h"

int64_t ILog::GetCurTime() {
    return CommonUtils::getTs();
}

std::string ILog::GetCurTimeString() {
    return CommonUtils::format(GetCurTime(), "%Y-%m-%d %H:%M:%S.%ms");
}
