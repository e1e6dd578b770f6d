#pragma once

#include <memory>

#include "FakeRadio.h"
#include "link/CommSession.h"
#include "link/SimpleEventLoop.h"

// A link session on a fake radio, pumped by a Qt-free loop.
struct FakeLink {
    CommSession session;
    SimpleLinkHost host { session };
    FakeRadio* radio = nullptr;

    explicit FakeLink(int waitMs = 2000)
    {
        auto device = std::make_unique<FakeRadio>();
        radio = device.get();
        session.AttachDevice(std::move(device));
        session.SetFraming(CommSession::kFramingFramed);
        session.SetWaitTime(waitMs);
    }
};
