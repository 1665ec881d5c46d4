/* Resource and control ids shared by installer.rc and the window code.
   Plain #defines only, so that windres and rc.exe can both read it. */
#ifndef KQ_RESOURCE_H
#define KQ_RESOURCE_H

#define IDI_INSTALLER           1
#define IDD_ABOUT               100
#define IDD_INSTALLER           101
#define IDB_ABOUT_BANNER        110
#define IDR_MAIN_MENU           1000

#define IDM_ABOUT               200
#define IDM_EXIT                201
#define IDM_SHOW_LOGS           202

#define IDC_PROGRESS            1010
#define IDC_PORT_LIST           1011
#define IDC_STATUS_BOX          1012
#define IDC_CONNECTION_BOX      1013
#define IDC_UPDATE_BOX          1014
#define IDC_CONNECT             1015
#define IDC_UPDATE              1016
#define IDC_RELEASE_LABEL       1017
#define IDC_ABOUT_RELEASE       1018

#endif
