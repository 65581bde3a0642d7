#pragma once

// Stand-in for <AVFoundation/AVMediaFormat.h>: the media type asked about.

#import <Foundation/Foundation.h>

// https://developer.apple.com/documentation/avfoundation/avmediatype
typedef NSString* AVMediaType;
// https://developer.apple.com/documentation/avfoundation/avmediatype/audio
extern AVMediaType const AVMediaTypeAudio;
