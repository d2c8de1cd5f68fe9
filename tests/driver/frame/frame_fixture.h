// frame_fixture.h - the driver loaded into a fresh kernel for each test,
// above stand-in volumes that record what reaches them, with helpers that
// send requests.
//
// Host test code; test bodies run as the System process's initial thread.
#pragma once

#include "frame/frame.h"
#include "driver/support/test_threads.h"
#include "ntos/evlog/evlp.h"

#include <string>
#include <vector>

// A stand-in volume: completes every request with Status and records it.
struct StubVolume {
    PDEVICE_OBJECT Self;
    NTSTATUS Status; // status every request completes with
    ULONG Requests;  // requests received
    UCHAR LastMajor; // of the last request
    UCHAR LastMinor;
    ULONG LastControlCode; // device control: its code
    PFILE_OBJECT LastFile; // the stack location's file object
    KEVENT* HoldFlushes;   // when set, a flush request waits for it in the dispatch routine
    KEVENT FlushArrived;   // set when a flush request has arrived
};

StubVolume* Stub(PDEVICE_OBJECT Pdo);

class FrameTest : public DriverTest {
  protected:
    // Loads the driver as the service QVDNT, as boot does; DriverEntry's status.
    NTSTATUS LoadDriver();

    void SetUp() override;
    void TearDown() override;

    // A stand-in volume PDO (Flags are added to its device flags).
    PDEVICE_OBJECT CreateVolume(ULONG Flags = 0);
    // Runs the driver's AddDevice for Pdo; the filter device on success.
    PDEVICE_OBJECT AddFilter(PDEVICE_OBJECT Pdo, NTSTATUS* Status = nullptr);
    // Sends a request of Major/Minor to Device and waits for it; Setup may
    // fill in the stack location. Returns the final status.
    NTSTATUS Send(PDEVICE_OBJECT Device, UCHAR Major, UCHAR Minor = 0,
                  void (*Setup)(PIO_STACK_LOCATION, PVOID) = nullptr, PVOID Context = nullptr,
                  ULONG_PTR* Information = nullptr);
    // A buffered device-control request; returns its status.
    NTSTATUS Control(PDEVICE_OBJECT Device, ULONG Code, ULONG InputLength, ULONG OutputLength,
                     ULONG_PTR* Information = nullptr);
    // The driver's filter devices, from its list.
    std::vector<FilterExtension*> FilterDevices();

    BOOLEAN LoadInSetUp = TRUE; // FALSE: the test calls LoadDriver itself
    PDRIVER_OBJECT Driver = nullptr;
    PDRIVER_OBJECT VolumeDriver = nullptr;
    std::vector<PDEVICE_OBJECT> Volumes;
};
