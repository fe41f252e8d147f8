// A fixture that brings the toolkit up before each test and down after it. Messages a test
// leaves in the store are marked printed first, since shutting down with unprinted messages is
// treated as an internal fault.
#pragma once

#include <gtest/gtest.h>

#include "driver/run.h"
#include "fe/fe.h"
#include "msg/msg.h"

class ToolkitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fe_initialize();
        // A test may have cleared the report hook for good (a nested report): put it back.
        fe_set_report_hook(msg_report_handler);
        fe_max_severity = SEVERITY_NONE;
    }
    void TearDown() override {
        for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) m->printed = 1;
        fe_terminate();
    }
};
