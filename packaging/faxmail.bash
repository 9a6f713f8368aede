# bash completion for faxmail
_faxmail() {
    local cur prev words cword
    _init_completion || return

    local commands="send check coverage history watch outbox"
    local send_options="--number --server --from --port --security --user --gateway --ca-file --subject --timeout --verbose --dry-run --queue --at"
    local history_options="--limit --json"
    local outbox_options="--json --flush --delete"
    local check_options="--server --from --port --security --user --ca-file --verbose --timeout"
    local watch_options="--once --timeout --imap-server --imap-port --imap-security --imap-user --ca-file --answer-within"
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -*) ;;
            *) command=${words[i]}; break ;;
        esac
    done

    case $prev in
        --security) COMPREPLY=($(compgen -W "none starttls tls" -- "$cur")); return ;;
        --imap-security) COMPREPLY=($(compgen -W "starttls tls" -- "$cur")); return ;;
        --imap-server | --imap-port | --imap-user) return ;;
        --ca-file) _filedir; return ;;
        -n | --number | --server | --from | --port | --user | --gateway | --subject | --timeout | --limit | --at | --delete) return ;;
    esac

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--help --version" -- "$cur"))
        else
            COMPREPLY=()
            _filedir  # documents open the windows with them in the list
            COMPREPLY+=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi
    case $command in
        send)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "$send_options" -- "$cur"))
            else
                _filedir
            fi
            ;;
        watch) [[ $cur == -* ]] && COMPREPLY=($(compgen -W "$watch_options" -- "$cur")) ;;
        check) COMPREPLY=($(compgen -W "$check_options" -- "$cur")) ;;
        history) COMPREPLY=($(compgen -W "$history_options" -- "$cur")) ;;
        outbox) COMPREPLY=($(compgen -W "$outbox_options" -- "$cur")) ;;
    esac
} && complete -F _faxmail faxmail
