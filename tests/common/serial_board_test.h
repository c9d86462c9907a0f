// A simulated board behind a pseudo-terminal and a serial link to it, for the
// tests that drive the serial link or the burn worker over that line.
#pragma once

#include <QString>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "board.h"
#include "kellinkerserial.h"
#include "libkelupg.h"
#include "serial_line.h"

class SerialBoardTest : public ::testing::Test {
protected:
    // A fresh board on a fresh line; the link is built but has not looked yet.
    void startBoard(kelsim::BoardConfig cfg = {}, kelsim::SerialLine::Options opt = {}) {
        board = std::make_unique<kelsim::Board>(cfg);
        line = std::make_unique<kelsim::SerialLine>(*board, opt);
        std::string error;
        ASSERT_TRUE(line->start(&error)) << error;
        port = QString::fromStdString(line->slavePath());
        link = std::make_unique<KelLinkerSerial>();
    }

    // The link goes first: it still holds the port the line serves, and the
    // line's threads still talk to the board.
    void stopBoard() {
        link.reset();
        if (line)
            line->stop();
        line.reset();
        board.reset();
        libkelupg_exit();
    }

    void TearDown() override { stopBoard(); }

    std::unique_ptr<kelsim::Board> board;
    std::unique_ptr<kelsim::SerialLine> line;
    std::unique_ptr<KelLinkerSerial> link;
    QString port;
};
