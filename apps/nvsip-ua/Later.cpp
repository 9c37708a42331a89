#include "apps/nvsip-ua/Later.h"

#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvScheduler.h"

namespace {

// The scheduler holds it until it fires.
class Action : public NvObserver {
public:
    explicit Action(std::function<void()> action) : m_Action(std::move(action)) {}
    void onNotification(NvHandle<NvObservable>, NvHandle<NvObject>) override { m_Action(); }

private:
    std::function<void()> m_Action;
};

}  // namespace

void runLater(unsigned delayMs, std::function<void()> action) {
    if (delayMs == 0) {
        action();
        return;
    }
    NvMonitorThread::sGetCurrent()->getScheduler().schedule(delayMs, new Action(std::move(action)), nullptr);
}
