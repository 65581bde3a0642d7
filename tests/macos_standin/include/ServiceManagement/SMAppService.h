#pragma once

// Stand-in for <ServiceManagement/SMAppService.h>: the main application as a
// login item (macOS 13 and later). The status, the failures and the settings
// opened are the test's (standin.h).

#import <Foundation/Foundation.h>

// https://developer.apple.com/documentation/servicemanagement/smappservice/status-swift.enum
typedef NS_ENUM(NSInteger, SMAppServiceStatus) {
    SMAppServiceStatusNotRegistered = 0,
    SMAppServiceStatusEnabled = 1,
    SMAppServiceStatusRequiresApproval = 2,
    SMAppServiceStatusNotFound = 3,
};

// https://developer.apple.com/documentation/servicemanagement/smappservice
@interface SMAppService : NSObject
// https://developer.apple.com/documentation/servicemanagement/smappservice/mainapp
+ (SMAppService*)mainAppService;
// https://developer.apple.com/documentation/servicemanagement/smappservice/register()
- (BOOL)registerAndReturnError:(NSError**)error;
// https://developer.apple.com/documentation/servicemanagement/smappservice/unregister()
- (BOOL)unregisterAndReturnError:(NSError**)error;
// https://developer.apple.com/documentation/servicemanagement/smappservice/status-swift.property
@property(readonly) SMAppServiceStatus status;
// https://developer.apple.com/documentation/servicemanagement/smappservice/opensystemsettingsloginitems()
+ (void)openSystemSettingsLoginItems;
@end
