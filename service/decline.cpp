#include "service/decline.h"

namespace {

DeclineObserver Observer = nullptr;
void* ObserverContext = nullptr;

}  // namespace

void SetDeclineObserver(DeclineObserver observer, void* context) {
    Observer = observer;
    ObserverContext = observer != nullptr ? context : nullptr;
}

void ReportDecline(Decline decline, uint8_t board) {
    if (Observer != nullptr) Observer(ObserverContext, decline, board);
}
