#pragma once

// Stand-in for <AVFoundation/AVCaptureDevice.h>: the capture permission.

#import <AVFoundation/AVMediaFormat.h>
#import <Foundation/Foundation.h>

// https://developer.apple.com/documentation/avfoundation/avauthorizationstatus
typedef NS_ENUM(NSInteger, AVAuthorizationStatus) {
    AVAuthorizationStatusNotDetermined = 0,
    AVAuthorizationStatusRestricted = 1,
    AVAuthorizationStatusDenied = 2,
    AVAuthorizationStatusAuthorized = 3,
};

@interface AVCaptureDevice : NSObject
// https://developer.apple.com/documentation/avfoundation/avcapturedevice/authorizationstatus(for:)
+ (AVAuthorizationStatus)authorizationStatusForMediaType:(AVMediaType)mediaType;
@end
