// A tab page whose answers the test sets and whose calls it counts.
#pragma once

#include "keltab.h"

class FakeTab : public KelTab {
public:
    using KelTab::KelTab;

    bool ready = false;
    bool working = false;
    bool startResult = true;
    // False: a stop is only asked for, and the job ends when the test says so.
    bool stopEndsJob = true;
    int scans = 0, leaves = 0, starts = 0, pauses = 0, resumes = 0, stops = 0;
    ImageFile *lastImage = nullptr;

    void setImage(ImageFile *img) override {
        lastImage = img;
        KelTab::setImage(img);
    }
    void scanDevices() override { ++scans; }
    bool isReady() override { return ready; }
    bool startWork() override {
        ++starts;
        working = startResult;
        return startResult;
    }
    bool isWorking() override { return working; }
    void pauseWork() override { ++pauses; }
    void resumeWork() override { ++resumes; }
    void stopWork() override {
        ++stops;
        working = working && !stopEndsJob;
    }
    void leaveTab() override { ++leaves; }
};
