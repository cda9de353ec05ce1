// The capture fixture for tests whose sink handler refers to the test body's
// locals.
#pragma once

#include <utility>

#include "capture/capture_fixture.h"

namespace capture_test {

class RaceTest : public CaptureTest {
protected:
    // Ends the capture and drops the handler when the body leaves, by any
    // path: a worker still running would otherwise call the handler after
    // the locals it refers to are gone.
    class HandlerScope {
    public:
        explicit HandlerScope(RaceTest& test) noexcept : test_(test) {}
        HandlerScope(const HandlerScope&) = delete;
        HandlerScope& operator=(const HandlerScope&) = delete;
        ~HandlerScope()
        {
            if (test_.plugin) test_.EndCapture();
            test_.sink->SetHandler({});
        }

    private:
        RaceTest& test_;
    };

    [[nodiscard]] HandlerScope HandleEvents(TestSink::Handler handler)
    {
        sink->SetHandler(std::move(handler));
        return HandlerScope(*this);
    }
};

}  // namespace capture_test
