#include "common/lbGlobals.h"

char g_appIf[IFNAMSIZ];
std::atomic<int> g_cliFlag{0};
pthread_mutex_t g_lbRBtreeMtx = PTHREAD_MUTEX_INITIALIZER;
std::atomic<float> totaltime{0.0f};
int Gv_noPrint = 1;

char g_cont1IPAddr[20];
unsigned char g_contMacAddr[20];
unsigned char g_switchDpId[50];
char g_vipIPAddr[20];
unsigned int g_lbAppPort;
unsigned char g_vlanId[20];
unsigned char g_addFlowTmr[20];
unsigned char g_delFlowTmr[20];
unsigned int g_halfOpenTmr = LB_HALF_OPEN_DEFAULT;
unsigned int g_estIdleTmr = LB_EST_IDLE_DEFAULT;
char cluster_name[50];
