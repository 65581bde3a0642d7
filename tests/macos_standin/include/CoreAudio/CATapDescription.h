#pragma once

// Stand-in for <CoreAudio/CATapDescription.h>: the class describing a
// process tap, with the members the macOS sources use.
// https://developer.apple.com/documentation/coreaudio/catapdescription
// Like Apple's, it imports the three Foundation classes it names, not all of
// Foundation.

#import <Foundation/NSArray.h>
#import <Foundation/NSString.h>
#import <Foundation/NSUUID.h>

// https://developer.apple.com/documentation/coreaudio/catapmutebehavior
typedef NS_ENUM(NSInteger, CATapMuteBehavior) {
    CATapUnmuted = 0,
    CATapMuted = 1,
    CATapMutedWhenTapped = 2,
};

@interface CATapDescription : NSObject {
    NSString* _name;
    NSArray* _processes;
    NSUUID* _UUID;
    CATapMuteBehavior _muteBehavior;
    BOOL _privateTap;
    BOOL _mixdown;
    BOOL _mono;
}
// .../catapdescription/init(stereomixdownofprocesses:)
- (instancetype)initStereoMixdownOfProcesses:(NSArray*)processesObjectIDsToIncludeInTap;
// .../catapdescription/name, processes, uuid, mutebehavior, isprivate, ismixdown, ismono
@property (copy) NSString* name;
@property (copy) NSArray* processes;
@property (retain) NSUUID* UUID;
@property CATapMuteBehavior muteBehavior;
@property (getter=isPrivate) BOOL privateTap;
@property (getter=isMixdown) BOOL mixdown;
@property (getter=isMono) BOOL mono;
@end
