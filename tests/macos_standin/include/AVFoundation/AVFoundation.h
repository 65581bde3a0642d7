#pragma once

// Stand-in for <AVFoundation/AVFoundation.h>: the capture permission query.
// The status answered is the simulated hardware's.

#import <AVFoundation/AVCaptureDevice.h>
#import <AVFoundation/AVMediaFormat.h>
