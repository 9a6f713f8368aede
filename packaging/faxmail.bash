# bash completion for faxmail
_faxmail() {
    local cur prev words cword
    _init_completion || return

    local commands="send coverage"
    local send_options="--number --server --from --port --security --user --gateway --ca-file"
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -*) ;;
            *) command=${words[i]}; break ;;
        esac
    done

    case $prev in
        --security) COMPREPLY=($(compgen -W "none starttls tls" -- "$cur")); return ;;
        --ca-file) _filedir; return ;;
        -n | --number | --server | --from | --port | --user | --gateway) return ;;
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
    esac
} && complete -F _faxmail faxmail
