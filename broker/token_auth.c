/*
 * token_auth - mosquitto plugin (plugin API v5) for the device endpoint.
 *
 * A device authenticates with its access token as MQTT user name and no
 * password; the broker knows every device's token. Every other client is
 * refused: an unknown user name, no user name, or a password. mosquitto 2.0.11 hands an empty user
 * name or password to the plugin as NULL, so an empty password counts as none and an empty user
 * name as no user name.
 *
 * An accepted device may publish to one topic only. It may not subscribe,
 * receive, or publish anywhere else. Every payload on it is accepted; the log
 * says what each one holds (the platform's forms: a reading, one with its own
 * time "ts" in milliseconds, or an array of those), for the run and fleet
 * views.
 *
 * Options (mosquitto.conf, after the `plugin` line):
 *   plugin_opt_token  a device's access token, non-empty; once per device
 *                     (broker/run-broker.sh writes one per line of its token
 *                     registry). Without any, every device is refused.
 *   plugin_opt_topic  the one topic a device may publish to (required)
 *
 * The tokens come in the configuration, which mosquitto reads while still
 * root: it loads plugins only after giving root up, when a registry file in
 * a private folder would be out of reach.
 */
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <mosquitto.h>
#include <mosquitto_broker.h>
#include <mosquitto_plugin.h>

#define TA_NAME "token_auth"
#define TA_PLUGIN_API 5
#define TA_OPT_TOKEN "token"
#define TA_OPT_TOPIC "topic"

struct ta_config {
    mosquitto_plugin_id_t *id;
    char **tokens;
    int token_count;
    char *topic;
};

/* Compares in time that depends only on the lengths, not on where they differ. */
static bool ta_token_equal(const char *given, const char *token)
{
    size_t len = strlen(token);
    unsigned char diff = 0;

    if (strlen(given) != len)
        return false;
    for (size_t i = 0; i < len; i++)
        diff |= (unsigned char)(given[i] ^ token[i]);
    return diff == 0;
}

/* Compares with every token, so that the time taken does not tell which one
 * matched, or how far into the list. */
static bool ta_token_known(const struct ta_config *cfg, const char *given)
{
    bool found = false;

    for (int i = 0; i < cfg->token_count; i++)
        found |= ta_token_equal(given, cfg->tokens[i]);
    return found;
}

static int ta_basic_auth(int event, void *event_data, void *userdata)
{
    struct mosquitto_evt_basic_auth *ev = event_data;
    const struct ta_config *cfg = userdata;
    (void)event;

    if (ev->username == NULL) {
        mosquitto_log_printf(MOSQ_LOG_NOTICE, TA_NAME ": refused: no user name");
        return MOSQ_ERR_AUTH;
    }
    if (ev->password != NULL) {
        mosquitto_log_printf(MOSQ_LOG_NOTICE, TA_NAME ": refused: password given");
        return MOSQ_ERR_AUTH;
    }
    if (!ta_token_known(cfg, ev->username)) {
        mosquitto_log_printf(MOSQ_LOG_NOTICE, TA_NAME ": refused: unknown token");
        return MOSQ_ERR_AUTH;
    }
    return MOSQ_ERR_SUCCESS;
}

/* "2026-12-10T08:00:00.512Z" for a time in milliseconds since the epoch. */
static void ta_format_ms(long long ms, char *out, size_t size)
{
    time_t seconds = (time_t)(ms / 1000);
    struct tm utc;
    if (ms < 0 || gmtime_r(&seconds, &utc) == NULL) {
        snprintf(out, size, "%lld", ms);
        return;
    }
    snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, (int)(ms % 1000));
}

/* Logs what a telemetry payload holds: readings with their "ts" (how many,
 * from when to when), a reading the platform stamps on arrival, or neither. */
static void ta_log_payload(const struct mosquitto_evt_acl_check *ev)
{
    const char *p = ev->payload, *end = p ? p + ev->payloadlen : NULL;
    const char *who = mosquitto_client_id(ev->client);
    long long first = 0, last = 0;
    int stamped = 0;
    char from[80], to[80];

    while (p && p < end && (*p == ' ' || *p == '\n'))
        p++;
    if (!p || p == end || (*p != '[' && *p != '{')) {
        mosquitto_log_printf(MOSQ_LOG_INFO,
                             TA_NAME ": %s published %u bytes that are not telemetry",
                             who ? who : "", ev->payloadlen);
        return;
    }
    for (const char *q = p; q + 6 <= end; q++) {
        long long ts = 0;
        if (memcmp(q, "\"ts\":", 5) != 0)
            continue;
        q += 5;
        while (q < end && *q == ' ')
            q++;
        while (q < end && *q >= '0' && *q <= '9' && ts < 1000000000000000LL)
            ts = ts * 10 + (*q++ - '0');
        if (stamped++ == 0)
            first = ts;
        last = ts;
    }
    if (stamped == 0) {
        mosquitto_log_printf(MOSQ_LOG_INFO,
                             TA_NAME ": %s published a reading without ts (stamped on arrival)",
                             who ? who : "");
        return;
    }
    ta_format_ms(first, from, sizeof from);
    ta_format_ms(last, to, sizeof to);
    mosquitto_log_printf(
        MOSQ_LOG_INFO, TA_NAME ": %s published %d timestamped reading%s%s measured %s to %s",
        who ? who : "", stamped, stamped == 1 ? "" : "s", *p == '[' ? " (an array)" : "", from, to);
}

static int ta_acl_check(int event, void *event_data, void *userdata)
{
    struct mosquitto_evt_acl_check *ev = event_data;
    const struct ta_config *cfg = userdata;
    (void)event;

    if (ev->access == MOSQ_ACL_WRITE && ev->topic != NULL && strcmp(ev->topic, cfg->topic) == 0) {
        ta_log_payload(ev);
        return MOSQ_ERR_SUCCESS;
    }
    mosquitto_log_printf(MOSQ_LOG_NOTICE, TA_NAME ": denied access %d to '%s'", ev->access,
                         ev->topic ? ev->topic : "");
    return MOSQ_ERR_ACL_DENIED;
}

static const char *ta_option(const struct mosquitto_opt *opts, int count, const char *key)
{
    for (int i = 0; i < count; i++) {
        if (strcmp(opts[i].key, key) == 0)
            return opts[i].value;
    }
    return NULL;
}

static void ta_config_free(struct ta_config *cfg)
{
    if (cfg == NULL)
        return;
    for (int i = 0; i < cfg->token_count; i++)
        mosquitto_free(cfg->tokens[i]);
    mosquitto_free(cfg->tokens);
    mosquitto_free(cfg->topic);
    mosquitto_free(cfg);
}

static struct ta_config *ta_config_new(const struct mosquitto_opt *opts, int count)
{
    const char *topic = ta_option(opts, count, TA_OPT_TOPIC);
    struct ta_config *cfg;

    if (topic == NULL || topic[0] == '\0') {
        mosquitto_log_printf(MOSQ_LOG_ERR,
                             TA_NAME ": plugin_opt_" TA_OPT_TOPIC " must be set and non-empty");
        return NULL;
    }
    cfg = mosquitto_calloc(1, sizeof(*cfg));
    if (cfg == NULL)
        return NULL;
    cfg->topic = mosquitto_strdup(topic);
    cfg->tokens = mosquitto_calloc((size_t)count + 1, sizeof(*cfg->tokens));
    if (cfg->topic == NULL || cfg->tokens == NULL)
        goto fail;
    for (int i = 0; i < count; i++) {
        if (strcmp(opts[i].key, TA_OPT_TOKEN) != 0)
            continue;
        if (opts[i].value == NULL || opts[i].value[0] == '\0') {
            mosquitto_log_printf(MOSQ_LOG_ERR, TA_NAME ": an empty plugin_opt_" TA_OPT_TOKEN);
            goto fail;
        }
        cfg->tokens[cfg->token_count] = mosquitto_strdup(opts[i].value);
        if (cfg->tokens[cfg->token_count] == NULL)
            goto fail;
        cfg->token_count++;
    }
    mosquitto_log_printf(MOSQ_LOG_NOTICE, TA_NAME ": %d device tokens", cfg->token_count);
    return cfg;

fail:
    ta_config_free(cfg);
    return NULL;
}

int mosquitto_plugin_version(int supported_version_count, const int *supported_versions)
{
    for (int i = 0; i < supported_version_count; i++) {
        if (supported_versions[i] == TA_PLUGIN_API)
            return TA_PLUGIN_API;
    }
    return -1;
}

int mosquitto_plugin_init(mosquitto_plugin_id_t *identifier, void **userdata,
                          struct mosquitto_opt *options, int option_count)
{
    struct ta_config *cfg = ta_config_new(options, option_count);

    if (cfg == NULL)
        return MOSQ_ERR_INVAL;
    cfg->id = identifier;
    if (mosquitto_callback_register(identifier, MOSQ_EVT_BASIC_AUTH, ta_basic_auth, NULL, cfg))
        goto fail;
    if (mosquitto_callback_register(identifier, MOSQ_EVT_ACL_CHECK, ta_acl_check, NULL, cfg))
        goto fail_auth;
    *userdata = cfg;
    return MOSQ_ERR_SUCCESS;

fail_auth:
    mosquitto_callback_unregister(identifier, MOSQ_EVT_BASIC_AUTH, ta_basic_auth, NULL);
fail:
    ta_config_free(cfg);
    return MOSQ_ERR_UNKNOWN;
}

int mosquitto_plugin_cleanup(void *userdata, struct mosquitto_opt *options, int option_count)
{
    struct ta_config *cfg = userdata;
    (void)options;
    (void)option_count;

    if (cfg == NULL)
        return MOSQ_ERR_SUCCESS;
    mosquitto_callback_unregister(cfg->id, MOSQ_EVT_ACL_CHECK, ta_acl_check, NULL);
    mosquitto_callback_unregister(cfg->id, MOSQ_EVT_BASIC_AUTH, ta_basic_auth, NULL);
    ta_config_free(cfg);
    return MOSQ_ERR_SUCCESS;
}
