#include "MemoryFixture.h"

MemoryFixture::MemoryFixture() : log(home.path() + u'/'), master(line, log)
{
    log.SetMemo(&memo);
    config.globalTimeOut = 300;
    config.localTimeOut = 30;
    config.globalTry = 3;
    config.replyPause = 10;
    Apply();
    Serve(nullptr);
}

void MemoryFixture::Serve(Script script)
{
    line.SetResponder([script = std::move(script)](QByteArrayView request) {
        return std::optional<QByteArray>(script ? script(request.toByteArray()) : QByteArray());
    });
}
