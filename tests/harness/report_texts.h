// The bundle report's texts for an intact bundle, with and without the runtime: byte for byte as the
// tests compare them, in one place so that the in-process and the end-to-end tests cannot drift apart.
#pragma once

static const char wt_report_present[] =
    "{\"passed\":true,\"bundleVerified\":true,\"runtimeDetected\":true,\"offlineRuntimeInstallers\":4,"
    "\"projectFilesRequired\":false,\"sdkRequired\":false,\"powershellRequired\":false,\"installed\":false}";
static const char wt_report_absent[] =
    "{\"passed\":true,\"bundleVerified\":true,\"runtimeDetected\":false,\"offlineRuntimeInstallers\":4,"
    "\"projectFilesRequired\":false,\"sdkRequired\":false,\"powershellRequired\":false,\"installed\":false}";
