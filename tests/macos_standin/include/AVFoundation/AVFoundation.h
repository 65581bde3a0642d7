#pragma once

// Stand-in for <AVFoundation/AVFoundation.h>: the capture permission query.
// The status answered is the simulated hardware's.

#import <Foundation/Foundation.h>

// https://developer.apple.com/documentation/avfoundation/avmediatype
typedef NSString* AVMediaType;
// https://developer.apple.com/documentation/avfoundation/avmediatype/audio
extern AVMediaType const AVMediaTypeAudio;

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
